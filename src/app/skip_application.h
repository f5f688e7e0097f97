#pragma once

#include <QApplication>
#include <QString>
#include <functional>
#include <string>

// The program's application object. An exception that escapes a handler and
// reaches the message loop is caught here: it is logged and shown in the
// error dialog, and the program goes on.
class TSkipApplication : public QApplication {
    Q_OBJECT
public:
    TSkipApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};

// What happens to an exception that reached the message loop; kept apart from
// the application object so that it can be exercised on its own.
namespace LoopErrors {

// Writes the text to standard error and to the log sink (once the station
// has one), then shows the error dialog unless one is already open; errors
// arriving while it is open are logged only.
void Report(const std::string& text);

// Where logged errors go besides standard error (the mailbox log). Empty
// function: standard error only.
void SetLogSink(std::function<void(const std::string&)> sink);

// How many errors have been reported since start (tests).
int ReportedCount();

} // namespace LoopErrors

// Headless, the platform plugin says of every window shown or raised that it
// cannot raise it or pass on its size hints: nothing an operator can act on.
// From this call on exactly those notices are dropped; every other message
// goes where it went before.
void DropHeadlessNotices();
bool IsHeadlessNotice(QtMsgType type, const QString& message);
