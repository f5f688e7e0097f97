#pragma once

#include <QWidget>

class QLabel;

// The voice notice window: while it shows, the radio is the operator's and
// scanning stands still.
class TVoiceForm : public QWidget {
    Q_OBJECT
public:
    explicit TVoiceForm(QWidget* parent = nullptr);

    QLabel* Label1;
};
