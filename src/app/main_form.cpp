#include "app/main_form.h"

TMainForm::TMainForm(QWidget* parent) : QWidget(parent), StartTimer(new QTimer(this))
{
    setWindowTitle("SkipMail");
    StartTimer->setInterval(500);
    StartTimer->setSingleShot(true);
    connect(StartTimer, &QTimer::timeout, this, &TMainForm::StartTimerTimer);
    StartTimer->start();
}

void TMainForm::StartTimerTimer()
{
    // The composition root builds the station here.
}
