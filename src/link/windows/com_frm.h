#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;
class TMouseComboBox;

// "Serial Port Setting": offers the serial ports that exist and are free
// ("COM1" to "COM254") and hands back the chosen port number. With no port
// to offer, OK stays disabled: the dialog never hands back a port it did
// not offer.
//
// Decisions:
// - With no free port, OK is disabled rather than handing back port 1: the
//   start-up saves the port handed back as the configured one, so a port
//   nobody chose (and that cannot be opened) would replace the operator's
//   in skipmail.INI; closing the dialog lets the start-up ask again.
class TComFrm : public QDialog {
    Q_OBJECT
public:
    // Whether "COMn" can be used; the serial library's IsPortAvailable
    // unless a test gives its own.
    using TProbe = std::function<bool(unsigned port)>;

    explicit TComFrm(QWidget* owner = nullptr, TProbe probe = {});

    QLabel* Label1;
    TMouseComboBox* PortBox;
    QPushButton* Button1;

    // The chosen port number, 1 until a port is chosen.
    int ComPort = 1;

    void PortBoxChange();
};
