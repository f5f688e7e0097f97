#pragma once

#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

// The start-up window: the station picture, the last three status lines and
// a Quit button. It reports progress while the main window builds the station
// and hides once the notification-area icon is up.
class TStartupForm : public QWidget {
    Q_OBJECT
public:
    explicit TStartupForm(QWidget* parent = nullptr);

    // Shows the line and keeps the message loop running until more than
    // HoldMs milliseconds have passed, so each line can be read.
    void AddStatusLine(const QString& text);

    // Every line written so far, oldest first.
    const QStringList& Lines() const { return AllLines; }

    // Set by the Quit button or any key; the wait for the modem reads and
    // clears it.
    bool TakeQuitRequest();

    int HoldMs = 500;

    QLabel* Picture;
    QLabel* StatusLabels[3];
    QPushButton* QuitBtn;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void QuitBtnClick();

    QStringList AllLines;
    bool QuitRequested = false;
};
