#include "app/startup_form.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QThread>
#include <QVBoxLayout>

#include "core/jpeg_picture.h"

TStartupForm::TStartupForm(QWidget* parent) : QWidget(parent)
{
    setWindowTitle("SkipMail");
    setObjectName("StartupForm");
    auto* layout = new QVBoxLayout(this);
    Picture = NewStationPictureLabel(this);
    layout->addWidget(Picture);
    for (auto*& label : StatusLabels) {
        label = new QLabel(this);
        layout->addWidget(label);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    QuitBtn = new QPushButton("Quit", this);
    QuitBtn->setObjectName("QuitBtn");
    connect(QuitBtn, &QPushButton::clicked, this, &TStartupForm::QuitBtnClick);
    buttons->addWidget(QuitBtn);
    layout->addLayout(buttons);
    setFocusPolicy(Qt::StrongFocus);
}

void TStartupForm::AddStatusLine(const QString& text)
{
    AllLines.append(text);
    const qsizetype first = std::max<qsizetype>(0, AllLines.size() - 3);
    for (int i = 0; i < 3; ++i) {
        const qsizetype index = first + i;
        StatusLabels[i]->setText(index < AllLines.size() ? AllLines[index] : QString());
    }
    QElapsedTimer shown;
    shown.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (shown.elapsed() <= HoldMs)
            QThread::msleep(5);
    } while (shown.elapsed() <= HoldMs);
}

bool TStartupForm::TakeQuitRequest()
{
    return std::exchange(QuitRequested, false);
}

void TStartupForm::keyPressEvent(QKeyEvent* event)
{
    QuitRequested = true;
    event->accept();
}

void TStartupForm::QuitBtnClick()
{
    QuitRequested = true;
}
