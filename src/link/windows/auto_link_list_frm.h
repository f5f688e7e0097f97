#pragma once

#include <QWidget>

#include <string>
#include <vector>

#include "link/station_link.h"
#include "link/window_timer.h"

class QListWidget;

// "Auto Link List": the stations waiting in the automatic link queue, shown
// afresh every second whether or not the window is open. The queue belongs
// to the link control window.
class TAutoLinkListFrm : public QWidget {
    Q_OBJECT
public:
    TAutoLinkListFrm(QWidget* owner, const std::vector<TAutoLinkEntry>& queue);

    QListWidget* UserListBox;
    TWindowTimer Timer1{1000, true};

    void Timer1Timer();

    // One list line: four columns of exactly 10 characters (station, type,
    // attempts, attempt time "hh:nn:ss").
    static std::string Line(const TAutoLinkEntry& entry);

private:
    const std::vector<TAutoLinkEntry>& FQueue;
};
