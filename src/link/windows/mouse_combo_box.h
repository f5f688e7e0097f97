#pragma once

#include <QComboBox>
#include <QKeyEvent>

// A drop-down list whose choice is made with the mouse only: every key that
// reaches it is discarded, so no key changes the choice behind the
// operator's back.
class TMouseComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void keyPressEvent(QKeyEvent* e) override { e->accept(); }
    void keyReleaseEvent(QKeyEvent* e) override { e->accept(); }
};
