#include "link/windows/auto_link_list_frm.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include <cstdio>

#include "platform/date_time.h"
#include "platform/text.h"

TAutoLinkListFrm::TAutoLinkListFrm(QWidget* owner, const std::vector<TAutoLinkEntry>& queue)
    : QWidget(owner, Qt::Window), UserListBox(new QListWidget(this)), FQueue(queue)
{
    setWindowTitle("Auto Link List");
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    auto* headings = new QWidget(this);
    headings->setAutoFillBackground(true);
    QPalette white = headings->palette();
    white.setColor(QPalette::Window, Qt::white);
    headings->setPalette(white);
    auto* row = new QHBoxLayout(headings);
    // The headings stand over the list's columns of ten characters.
    row->setSpacing(0);
    row->setContentsMargins(UserListBox->frameWidth() + 2, 2, 2, 2);
    const int column = QFontMetrics(fixed).horizontalAdvance(QString(10, 'M'));
    const char* const captions[] = {"Station", "Type", "Attempts", "Attempt Time"};
    for (int i = 0; i < 4; ++i) {
        auto* heading = new QLabel(captions[i], headings);
        heading->setAutoFillBackground(true);
        QPalette silver = heading->palette();
        silver.setColor(QPalette::Window, QColor(192, 192, 192));
        heading->setPalette(silver);
        heading->setFont(fixed);
        if (i < 3)
            heading->setFixedWidth(column);
        row->addWidget(heading, i == 3 ? 1 : 0);
    }
    UserListBox->setFont(fixed);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(headings);
    layout->addWidget(UserListBox);
    resize(QFontMetrics(fixed).horizontalAdvance(QString(44, 'M')), 240);
    Timer1.OnTimer = [this] { Timer1Timer(); };
}

std::string TAutoLinkListFrm::Line(const TAutoLinkEntry& entry)
{
    int hour = 0, minute = 0, second = 0, msec = 0;
    DecodeTime(entry.NextAttempt, hour, minute, second, msec);
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", hour, minute, second);
    char line[64];
    std::snprintf(line, sizeof line, "%-10.10s%-10.10s%-10.10s%-10.10s", entry.StationName.c_str(),
                  entry.Type.c_str(), std::to_string(entry.Attempts).c_str(), time);
    return line;
}

void TAutoLinkListFrm::Timer1Timer()
{
    UserListBox->clear();
    for (const TAutoLinkEntry& entry : FQueue)
        UserListBox->addItem(ToQt(Line(entry)));
}
