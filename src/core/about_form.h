#pragma once

#include <QDialog>
#include <QLabel>

class TConfig;

// The About box: the station picture and the program's version, with the
// modem's firmware versions once the link control has read them.
class TAboutForm : public QDialog {
    Q_OBJECT
public:
    TAboutForm(QWidget* owner, TConfig* config);

    QLabel* Picture;
    QLabel* VersionLabel;
    QLabel* ModemLabel;
};
