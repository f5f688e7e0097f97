#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "configui/edit_dialog.h"

class TStationList;

// The "Alias Information" dialog: an Internet address and the HF address
// (user at station) that mail for it goes to. Made by its caller for one Add
// or Edit; it checks the input but changes no table itself. After OK the
// caller reads Address, Alias, User and StationBox.
class TAliasFrm : public TEditDialog {
    Q_OBJECT
public:
    TAliasFrm(QWidget* owner, TStationList* stations);

    // Why a text cannot be an alias field (alias.dat holds it between ":"
    // separators, one entry per line), or empty when it can.
    static std::string FieldProblem(const std::string& text);

    QLineEdit* Address;
    QLineEdit* User;
    QComboBox* StationBox;
    // Hidden; receives user "@" station on OK. No length limit, so a long
    // station name is never cut.
    QLineEdit* Alias;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label7;
    QPushButton* Button1;
    QPushButton* Button2;

    // Fills the station drop-down list; runs each time the dialog is shown.
    void FormShow();
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    TStationList* FStations;
};
