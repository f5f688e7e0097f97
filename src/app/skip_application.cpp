#include "app/skip_application.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>

#include "platform/dialogs.h"

namespace LoopErrors {
namespace {

std::mutex SinkLock;
std::function<void(const std::string&)> Sink;
std::atomic<int> Reported{0};
bool DialogOpen = false;

} // namespace

void SetLogSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard lock(SinkLock);
    Sink = std::move(sink);
}

int ReportedCount()
{
    return Reported.load();
}

void Report(const std::string& text)
{
    ++Reported;
    const std::string line = "Error: " + text;
    std::fprintf(stderr, "skipmail: %s\n", line.c_str());
    {
        std::lock_guard lock(SinkLock);
        if (Sink) {
            try {
                Sink(line);
            } catch (...) {
                // The log itself failed; standard error already has the line.
            }
        }
    }
    if (DialogOpen)
        return;
    DialogOpen = true;
    try {
        ShowMessageBox(text, "Error", MB_OK, TMsgIcon::Error);
    } catch (...) {
    }
    DialogOpen = false;
}

} // namespace LoopErrors

namespace {

QtMessageHandler NextHandler = nullptr;

void DropWindowNotices(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (IsHeadlessNotice(type, message))
        return;
    if (NextHandler)
        NextHandler(type, context, message);
}

} // namespace

bool IsHeadlessNotice(QtMsgType type, const QString& message)
{
    return type == QtWarningMsg && (message == "This plugin does not support raise()" ||
                                    message == "This plugin does not support propagateSizeHints()");
}

void DropHeadlessNotices()
{
    // Qt hands back its own default handler where none was installed.
    const QtMessageHandler previous = qInstallMessageHandler(DropWindowNotices);
    if (previous != DropWindowNotices)
        NextHandler = previous;
}

TSkipApplication::TSkipApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TSkipApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        LoopErrors::Report(e.what());
    } catch (...) {
        LoopErrors::Report("Unknown exception");
    }
    return false;
}
