#include "platform/dialogs.h"

#include "platform/gui_message.h"
#include "platform/text.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QMetaObject>

#include <atomic>
#include <vector>

namespace {

std::atomic<TDialogHost*> gHost{nullptr};

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
    return Dialogs().MessageBox(text, title, icon, buttons);
}

int ShowModal(QDialog& dialog)
{
    return Dialogs().ExecModal(dialog);
}

int TQtDialogHost::MessageBox(const std::string& text, const std::string& title, TMsgIcon icon,
                              int buttons)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || IsGuiThread())
        return ShowQtBox(text, title, icon, buttons);
    int result = EscapeResult(buttons);
    QMetaObject::invokeMethod(
        app, [&] { result = ShowQtBox(text, title, icon, buttons); }, Qt::BlockingQueuedConnection);
    return result;
}

int TQtDialogHost::ExecModal(QDialog& dialog)
{
    return dialog.exec();
}
