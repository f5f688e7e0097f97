#pragma once

#include <QBoxLayout>
#include <QDialog>
#include <QPushButton>

// Base of the edit dialogs that their caller makes for one Add or Edit:
// modal result 1 after an OK that passed the dialog's checks, 2 after Cancel
// or closing the window.
class TEditDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int mrOk = 1;
    static constexpr int mrCancel = 2;

protected:
    explicit TEditDialog(QWidget* owner) : QDialog(owner) {}

    // Adds the "&OK" (default) and "C&ancel" buttons, named Button1 and
    // Button2, in a row at the foot of `layout`. Cancel ends the dialog; OK
    // is for the dialog's own check.
    void AddButtons(QBoxLayout* layout, QPushButton*& ok, QPushButton*& cancel);

    // Closing the window counts as Cancel.
    void reject() override;
};
