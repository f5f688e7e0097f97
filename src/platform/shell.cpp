#include "platform/shell.h"

#include "platform/text.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <mutex>

namespace {

std::mutex gLock;
Shell::TLauncher gLauncher;

bool Installed(const std::string& program)
{
    return !QStandardPaths::findExecutable(ToQt(program)).isEmpty();
}

bool Launch(const std::string& program, const std::vector<std::string>& args)
{
    {
        std::lock_guard guard(gLock);
        if (gLauncher)
            return gLauncher(program, args);
    }
    if (!Installed(program))
        return false;
    QStringList list;
    for (const auto& a : args)
        list << ToQt(a);
    return QProcess::startDetached(ToQt(program), list);
}

} // namespace

namespace Shell {

bool OpenDocument(const std::string& path)
{
    return Launch("xdg-open", {path});
}

bool ShowTextFile(const std::string& path)
{
    return Launch("xdg-open", {path});
}

bool PlaySoundAsync(const std::string& path)
{
    {
        std::lock_guard guard(gLock);
        if (gLauncher)
            return gLauncher("aplay", {"-q", path});
    }
    if (!QFileInfo(ToQt(path)).isFile()) {
        // As the system's default sound stands in for a missing one.
        QApplication::beep();
        return false;
    }
    if (Installed("aplay"))
        return Launch("aplay", {"-q", path});
    return Launch("paplay", {path});
}

std::string ProgramVersion()
{
    return SKIPMAIL_VERSION;
}

void SetLauncher(TLauncher launcher)
{
    std::lock_guard guard(gLock);
    gLauncher = std::move(launcher);
}

} // namespace Shell
