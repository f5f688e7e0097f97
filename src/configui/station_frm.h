#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "configui/edit_dialog.h"

class TStationList;

// The "Station Information" dialog: one station's name, call sign,
// selective-call ID, the station its mail is routed through and whether it
// may be called automatically. Made by the Network tab for one Add or Edit;
// it checks the name and call sign against the station table but changes no
// table itself. After OK the caller reads Name, Call, SelCall, RouteVia
// (empty for a direct route) and AutoCallCheckBox.
class TStationFrm : public TEditDialog {
    Q_OBJECT
public:
    TStationFrm(QWidget* owner, TStationList* stations);

    // When the name in `name` differs from `lastName` (which then takes it),
    // a name of fewer than 8 characters puts its call sign into `call`:
    // letters in upper case, "_" dropped, and "1" after the second character
    // ("Base" gives "BA1SE"). False when the name is unchanged.
    static bool SuggestCallSign(QLineEdit* name, QLineEdit* call, QString& lastName);
    // On leaving a selective-call box: a number ending in 0 is refused with
    // a box, and the box gets the focus back with its text selected.
    static void CheckSelCall(QLineEdit* selCall);

    QLineEdit* Name;
    QLineEdit* Call;
    QLineEdit* SelCall;
    QLabel* Label7;
    QComboBox* RouteVia;
    QLabel* RouteViaLabel;
    QCheckBox* AutoCallCheckBox;
    QLabel* AutoCallLabel;
    QPushButton* Button1;
    QPushButton* Button2;

    void FormShow();
    // Runs when the operator changes the name (typing or pasting).
    void NameKeyUp();
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FillRouteList();

    TStationList* FStations;
    QString FLastName;
};
