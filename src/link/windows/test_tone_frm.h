#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>

class QLabel;
class QPushButton;
class TMouseComboBox;

// "Transmit Test Tones": starts and stops the modem's single-tone or
// eight-tone test. However the dialog closes (OK, Escape, the window's close
// button), it tells the modem to stop, so no tone outlives it.
//
// Decisions:
// - Closing by Escape or the close button stops the tones as OK does,
//   rather than leaving a test running: with the dialog gone the
//   transmitter would stay keyed, unattended, with nothing left to stop it.
class TTestToneFrm : public QDialog {
    Q_OBJECT
public:
    // `sendCommand` writes one modem command (the link control window's).
    TTestToneFrm(QWidget* owner, std::function<void(uint8_t command)> sendCommand);

    QLabel* Label1;
    TMouseComboBox* ToneBox;
    QPushButton* Button2;
    QPushButton* Button1;

    void Button2Click();
    void Button1Click();

    void reject() override;

private:
    std::function<void(uint8_t)> FSend;
};
