#pragma once

#include <QTimer>
#include <QWidget>

// The program's main window: it owns the start-up and the shutdown.
class TMainForm : public QWidget {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);

    QTimer* StartTimer;

private:
    void StartTimerTimer();
};
