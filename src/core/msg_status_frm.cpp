#include "core/msg_status_frm.h"

#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QSplitter>
#include <QVBoxLayout>

#include "core/mailbox_log.h"
#include "core/message_store.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "platform/text.h"

namespace {

constexpr int kLogLines = static_cast<int>(TMailboxLog::kMaxLines);

std::vector<std::string> TreeLines(const QTreeWidget* tree)
{
    std::vector<std::string> lines;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = tree->topLevelItem(i);
        std::string line;
        for (int c = 0; c < tree->columnCount(); ++c) {
            if (c > 0)
                line += " | ";
            line += FromQt(item->text(c));
        }
        lines.push_back(line);
    }
    return lines;
}

} // namespace

TMsgStatusFrm::TMsgStatusFrm(QWidget* owner, TConfig* config) : QWidget(owner), Config(config)
{
    setWindowTitle("Mailbox Status");
    setObjectName("MsgStatusFrm");
    if (owner)
        setWindowFlag(Qt::Window);
    resize(560, 480);
    auto* layout = new QVBoxLayout(this);
    auto* splitter = new QSplitter(Qt::Vertical, this);

    UserListView = new QTreeWidget(splitter);
    UserListView->setObjectName("UserListView");
    UserListView->setRootIsDecorated(false);
    UserListView->setHeaderLabels({"User", "Messages", "Size", "Last Connection"});

    StationListView = new QTreeWidget(splitter);
    StationListView->setObjectName("StationListView");
    StationListView->setRootIsDecorated(false);
    StationListView->setHeaderLabels({"Station", "Outgoing Messages"});

    LogMemo = new QPlainTextEdit(splitter);
    LogMemo->setObjectName("LogMemo");
    LogMemo->setReadOnly(true);
    LogMemo->setMaximumBlockCount(kLogLines);
    LogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The window opens with the lines the log file kept from earlier runs.
    QStringList kept;
    for (const std::string& line : Log.LastLines())
        kept.append(ToQt(line));
    if (!kept.isEmpty())
        LogMemo->setPlainText(kept.join('\n'));

    layout->addWidget(splitter);
}

TMsgStatusFrm::~TMsgStatusFrm()
{
    if (Stations)
        Stations->SetOnChanged(nullptr);
    if (Users)
        Users->SetOnChanged(nullptr);
}

void TMsgStatusFrm::AttachTables(TStationList* stations, TUserList* users)
{
    Stations = stations;
    Users = users;
    if (Stations)
        Stations->SetOnChanged([this] { RefreshStationLines(); });
    if (Users)
        Users->SetOnChanged([this] { RefreshUserLines(); });
    FillUserLines();
    FillStationLines();
}

void TMsgStatusFrm::AddLogLine(const std::string& text)
{
    const QString line = ToQt(Log.AddLogLine(text));
    FCalls.Post([this, line] { AppendLog(line); });
}

void TMsgStatusFrm::AppendLog(const QString& line)
{
    LogMemo->appendPlainText(line);
}

void TMsgStatusFrm::RefreshUserLines()
{
    if (UserRefreshPending.exchange(true))
        return;
    FCalls.Post([this] {
        UserRefreshPending = false;
        FillUserLines();
    });
}

void TMsgStatusFrm::RefreshStationLines()
{
    if (StationRefreshPending.exchange(true))
        return;
    FCalls.Post([this] {
        StationRefreshPending = false;
        FillStationLines();
    });
}

void TMsgStatusFrm::FillUserLines()
{
    UserListView->clear();
    if (!Users)
        return;
    for (const TUser& user : Users->GetAll()) {
        std::vector<std::string> list;
        int count = 0;
        long long octets = 0;
        Users->GetMessageList(user, list, count, octets);
        auto* item = new QTreeWidgetItem(UserListView);
        item->setText(0, ToQt(user.Name));
        item->setText(1, QString::number(count));
        item->setText(2, QString::number(octets));
        item->setText(3, ToQt(user.LastConnection));
    }
}

void TMsgStatusFrm::FillStationLines()
{
    StationListView->clear();
    if (!Stations)
        return;
    const auto stations = Stations->GetAll();
    // Entry 0 is this station, which sends nothing to itself.
    for (size_t i = 1; i < stations.size(); ++i) {
        size_t waiting = 0;
        if (MessageStore::IsSafeName(stations[i].Name))
            waiting = MessageStore::ListMessages(MessageStore::StationDir(stations[i].Name)).size();
        auto* item = new QTreeWidgetItem(StationListView);
        item->setText(0, ToQt(stations[i].Name));
        item->setText(1, QString::number(waiting));
    }
}

std::vector<std::string> TMsgStatusFrm::UserLines() const
{
    return TreeLines(UserListView);
}

std::vector<std::string> TMsgStatusFrm::StationLines() const
{
    return TreeLines(StationListView);
}

std::vector<std::string> TMsgStatusFrm::LogLines() const
{
    std::vector<std::string> lines;
    const QStringList all = LogMemo->toPlainText().split('\n', Qt::SkipEmptyParts);
    for (const auto& line : all)
        lines.push_back(FromQt(line));
    return lines;
}
