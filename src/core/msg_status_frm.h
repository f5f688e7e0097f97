#pragma once

#include <QPlainTextEdit>
#include <QTreeWidget>
#include <QWidget>
#include <atomic>
#include <string>
#include <vector>

#include "core/mailbox_log.h"
#include "platform/gui_message.h"

class TConfig;
class TStationList;
class TUserList;

// The Mailbox Status window: one line per local user (messages waiting, their
// size, last connection), one line per other station (messages waiting to go
// out), and the mailbox log. The router and the mail servers' connection
// threads call it at any time; every change of the window is carried to the
// GUI thread.
class TMsgStatusFrm : public QWidget {
    Q_OBJECT
public:
    TMsgStatusFrm(QWidget* owner, TConfig* config);
    ~TMsgStatusFrm() override;

    // The tables whose lines the window shows; it refreshes itself when they
    // change. Called once by the start-up, after the user table exists.
    void AttachTables(TStationList* stations, TUserList* users);

    // Writes "[dd-mmm-yy hh:nn:ss]  text" to mailbox_log.txt and the log view.
    // Any thread.
    void AddLogLine(const std::string& text);
    // Recount the user or station lines. Any thread; requests made while one
    // is pending are served by it.
    void RefreshUserLines();
    void RefreshStationLines();

    // What the window shows, as text (tests).
    std::vector<std::string> UserLines() const;
    std::vector<std::string> StationLines() const;
    std::vector<std::string> LogLines() const;

    QTreeWidget* UserListView;
    QTreeWidget* StationListView;
    QPlainTextEdit* LogMemo;

private:
    void FillUserLines();
    void FillStationLines();
    void AppendLog(const QString& line);

    TConfig* Config;
    TMailboxLog Log;
    TGuiCallQueue FCalls;
    TStationList* Stations = nullptr;
    TUserList* Users = nullptr;
    std::atomic<bool> UserRefreshPending{false};
    std::atomic<bool> StationRefreshPending{false};
};
