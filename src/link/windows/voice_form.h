#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The voice notice: while it is open the radio is the operator's, and data
// links, scanning and automatic linking stand still until OK.
class TVoiceForm : public QDialog {
    Q_OBJECT
public:
    explicit TVoiceForm(QWidget* parent = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Image1;
    QPushButton* Button1;

    void Button1Click() { accept(); }
};
