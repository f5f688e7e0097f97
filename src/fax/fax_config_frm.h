#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

// The fax gateway's settings, titled "Configuration": the fax modem's port,
// initialisation, dial prefix, attempts, delay between attempts and dial
// mode, and the receive switches with the forwarding address. It opens
// without a login. The fax gateway fills the controls, shows the dialog
// modally and reads them back after OK (modal result 1); the dialog itself
// stores nothing.
//
// Retry, RetryDelay and NumberOfRings change only by a pick from their
// lists, so they always hold a decimal number; ComPort and DialTone take
// typed text as well.
class TFaxConfigFrm : public QDialog {
    Q_OBJECT
public:
    static constexpr int mrOk = 1;

    explicit TFaxConfigFrm(QWidget* owner);

    QTabWidget* PageControl1;
    QWidget* TabSheet2;   // "Fax Modem"
    QWidget* TabSheet3;   // "Receive"
    QPushButton* Button1; // OK
    // Fax Modem
    QComboBox* ComPort;
    QLineEdit* InitString;
    QLineEdit* DialPrefix;
    QComboBox* Retry;
    QComboBox* RetryDelay;
    QComboBox* DialTone;
    // Receive
    QCheckBox* ReceiveEnabled;
    QComboBox* NumberOfRings;
    QCheckBox* PrintEnabled;
    QCheckBox* ForwardEnabled;
    QLineEdit* ForwardAddress;
};
