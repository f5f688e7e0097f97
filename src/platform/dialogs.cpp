#include "platform/dialogs.h"

#include "platform/gui_message.h"
#include "platform/text.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

std::atomic<TDialogHost*> gHost{nullptr};
std::atomic<bool> gEnding{false};
std::mutex gLogLock;
std::function<void(const std::string&)> gUnseenLog;

TQtDialogHost& QtHost()
{
    static TQtDialogHost host;
    return host;
}

int EscapeResult(int buttons)
{
    switch (buttons) {
    case MB_OK:
        return IDOK;
    case MB_YESNO:
        return IDNO;
    case MB_ABORTRETRYIGNORE:
        return IDABORT;
    default:
        return IDCANCEL;
    }
}

// The box nobody will see: its text, on one line, to standard error and the log.
void LogUnseen(const std::string& title, const std::string& text)
{
    std::string line = title.empty() ? text : title + ": " + text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    std::fprintf(stderr, "skipmail: %s\n", line.c_str());
    std::lock_guard lock(gLogLock);
    if (gUnseenLog) {
        try {
            gUnseenLog(line);
        } catch (...) {
            // Standard error has it already.
        }
    }
}

std::string DialogTitle(QDialog& dialog)
{
    const QString title = dialog.windowTitle();
    return FromQt(title.isEmpty() ? QString(dialog.metaObject()->className()) : title);
}

int ShowQtBox(const std::string& text, const std::string& title, TMsgIcon icon, int buttons)
{
    QMessageBox box;
    box.setText(ToQt(text));
    box.setWindowTitle(ToQt(title));
    switch (icon) {
    case TMsgIcon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case TMsgIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case TMsgIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case TMsgIcon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case TMsgIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    }
    struct TButton {
        QMessageBox::StandardButton qt;
        int id;
    };
    std::vector<TButton> set;
    switch (buttons) {
    case MB_OKCANCEL:
        set = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    case MB_ABORTRETRYIGNORE:
        set = {{QMessageBox::Abort, IDABORT},
               {QMessageBox::Retry, IDRETRY},
               {QMessageBox::Ignore, IDIGNORE}};
        break;
    case MB_YESNOCANCEL:
        set = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    case MB_YESNO:
        set = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
        break;
    case MB_RETRYCANCEL:
        set = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    default:
        set = {{QMessageBox::Ok, IDOK}};
        break;
    }
    QMessageBox::StandardButtons qtButtons;
    for (const auto& b : set)
        qtButtons |= b.qt;
    box.setStandardButtons(qtButtons);
    int pressed = box.exec();
    for (const auto& b : set)
        if (pressed == b.qt)
            return b.id;
    return EscapeResult(buttons);
}

} // namespace

TDialogHost& Dialogs()
{
    TDialogHost* h = gHost;
    return h ? *h : QtHost();
}

TDialogHost* SetDialogHost(TDialogHost* host)
{
    return gHost.exchange(host);
}

int ShowMessageBox(const std::string& text, const std::string& title, int buttons, TMsgIcon icon)
{
    if (gEnding) {
        LogUnseen(title, text);
        return EscapeResult(buttons);
    }
    return Dialogs().MessageBox(text, title, icon, buttons);
}

int ShowModal(QDialog& dialog)
{
    if (gEnding) {
        LogUnseen(DialogTitle(dialog), "not opened, the program is ending");
        return QDialog::Rejected;
    }
    return Dialogs().ExecModal(dialog);
}

void EndBoxes(bool ending)
{
    gEnding = ending;
    if (!ending || !QCoreApplication::instance() || !IsGuiThread())
        return;
    // Every box and dialog runs its own loop; the innermost goes first, and
    // each outer one is found as the next active modal widget.
    while (QWidget* box = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(box))
            dialog->reject();
        else
            box->close();
        if (QApplication::activeModalWidget() == box)
            break;
    }
}

bool BoxesEnding()
{
    return gEnding;
}

void SetUnseenBoxLog(std::function<void(const std::string& line)> log)
{
    std::lock_guard lock(gLogLock);
    gUnseenLog = std::move(log);
}

bool NoDesktopNamed()
{
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value)
            return false;
    return true;
}

bool NoDisplay()
{
    if (!QGuiApplication::instance())
        return true;
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

int TQtDialogHost::MessageBox(const std::string& text, const std::string& title, TMsgIcon icon,
                              int buttons)
{
    if (NoDisplay() || gEnding) {
        LogUnseen(title, text);
        return EscapeResult(buttons);
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (IsGuiThread())
        return ShowQtBox(text, title, icon, buttons);
    int result = EscapeResult(buttons);
    QMetaObject::invokeMethod(
        app, [&] { result = ShowQtBox(text, title, icon, buttons); }, Qt::BlockingQueuedConnection);
    return result;
}

int TQtDialogHost::ExecModal(QDialog& dialog)
{
    if (NoDisplay() || gEnding) {
        LogUnseen(DialogTitle(dialog), "not opened, there is no display");
        return QDialog::Rejected;
    }
    return dialog.exec();
}
