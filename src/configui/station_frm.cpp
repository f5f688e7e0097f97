#include "configui/station_frm.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QShowEvent>
#include <QVBoxLayout>
#include <charconv>

#include "configui/form_controls.h"
#include "configui/input_filters.h"
#include "core/station_list.h"
#include "core/text_util.h"
#include "platform/dialogs.h"
#include "platform/text.h"

using FormControls::Check;
using FormControls::Edit;
using FormControls::Label;

namespace {

constexpr const char* kDirect = "Direct";

void Refuse(const char* text, const char* title)
{
    ShowMessageBox(text, title, MB_OK, TMsgIcon::Warning);
}

} // namespace

TStationFrm::TStationFrm(QWidget* owner, TStationList* stations)
    : TEditDialog(owner), FStations(stations)
{
    setObjectName("StationFrm");
    setWindowTitle("Station Information");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);

    auto* info = new QGroupBox("Station Info", this);
    auto* infoForm = new QFormLayout(info);
    Name = Edit(info, "Name", "Select a Station Name", 12);
    InputFilter::Install(Name, InputFilter::StationNameChar, true);
    Call = Edit(info, "Call", "Select a Station Call Sign", 8);
    InputFilter::Install(Call, InputFilter::UpperCallChar, false);
    SelCall =
        Edit(info, "SelCall", "Select a Station Selcall (Selective Call) ID - 4 digit number", 4);
    InputFilter::Install(SelCall, InputFilter::SelCallChar, false);
    SelCall->installEventFilter(this);
    Label7 = Label(info, "Label7", "Selcall ID:");
    infoForm->addRow("Station:", Name);
    infoForm->addRow("Call:", Call);
    infoForm->addRow(Label7, SelCall);
    SelCall->hide();
    Label7->hide();
    layout->addWidget(info);

    auto* advanced = new QGroupBox("Advanced", this);
    auto* advancedForm = new QFormLayout(advanced);
    RouteVia = new QComboBox(advanced);
    RouteVia->setObjectName("RouteVia");
    RouteVia->setToolTip("Deleive mail through this selected Station instead of directly");
    // Only a listed station (or Direct) can be a route.
    InputFilter::MakePickOnly(RouteVia);
    RouteViaLabel = Label(advanced, "RouteViaLabel", "Route via:");
    AutoCallCheckBox = Check(
        advanced, "AutoCallCheckBox", "Enabled",
        "Allow this station to be called when mail is waiting for delivery. Otherwise, mail is "
        "stored until the remote station connects or a scheduled link attempt");
    AutoCallLabel = Label(advanced, "AutoCallLabel", "Auto Call:");
    advancedForm->addRow(RouteViaLabel, RouteVia);
    advancedForm->addRow(AutoCallLabel, AutoCallCheckBox);
    layout->addWidget(advanced);

    AddButtons(layout, Button1, Button2);
    connect(Button1, &QPushButton::clicked, this, &TStationFrm::Button1Click);
    connect(Name, &QLineEdit::textEdited, this, &TStationFrm::NameKeyUp);
}

bool TStationFrm::SuggestCallSign(QLineEdit* name, QLineEdit* call, QString& lastName)
{
    if (name->text() == lastName)
        return false;
    lastName = name->text();
    const std::string text = FromQt(lastName);
    if (text.size() >= 8)
        return true;
    std::string sign;
    for (char c : text) {
        if (c == '_')
            continue;
        sign += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        if (sign.size() == 2)
            sign += '1';
    }
    call->setText(ToQt(sign));
    return true;
}

void TStationFrm::CheckSelCall(QLineEdit* selCall)
{
    const std::string text = FromQt(selCall->text());
    long long number = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return;
    if (number % 10 != 0)
        return;
    ShowMessageBox("Please select a SelCall ending in digits 1-9", "Selcall Error", MB_OK,
                   TMsgIcon::Warning);
    selCall->setFocus();
    selCall->selectAll();
}

bool TStationFrm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == SelCall && event->type() == QEvent::FocusOut)
        CheckSelCall(SelCall);
    return TEditDialog::eventFilter(watched, event);
}

void TStationFrm::showEvent(QShowEvent* event)
{
    TEditDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TStationFrm::FormShow()
{
    FillRouteList();
    FLastName = Name->text();
}

void TStationFrm::FillRouteList()
{
    const QString given = RouteVia->currentText();
    RouteVia->addItem(kDirect);
    const std::string self = FromQt(Name->text());
    if (FStations) {
        const auto stations = FStations->GetAll();
        for (size_t i = 1; i < stations.size(); ++i)
            if (!SameTextIgnoreCase(stations[i].Name, self))
                RouteVia->addItem(ToQt(stations[i].Name));
    }
    InputFilter::ShowText(RouteVia, given.isEmpty() ? kDirect : FromQt(given));
}

void TStationFrm::NameKeyUp()
{
    SuggestCallSign(Name, Call, FLastName);
}

void TStationFrm::Button1Click()
{
    const std::string name = FromQt(Name->text());
    const std::string call = FromQt(Call->text());
    const auto stations = FStations ? FStations->GetAll() : std::vector<TStation>{};
    if (name.empty()) {
        Refuse("Please, enter a station Name.", "Station Name Error");
        return;
    }
    if (Name->isEnabled()) {
        for (const TStation& s : stations) {
            if (SameTextIgnoreCase(s.Name, name)) {
                Refuse("Station Name has already been assigned.\nPlease, enter a different "
                       "station Name.",
                       "Station Name Error");
                return;
            }
        }
    }
    if (call.empty()) {
        Refuse("Please, enter a valid station Call.", "Station Call Error");
        return;
    }
    for (const TStation& s : stations) {
        if (!SameTextIgnoreCase(s.Name, name) && SameTextIgnoreCase(s.Call, call)) {
            Refuse("Station Call has already been assigned.\nPlease, enter a different station "
                   "Call.",
                   "Station Call Error");
            return;
        }
    }
    if (RouteVia->currentText() == kDirect)
        RouteVia->setEditText("");
    done(mrOk);
}
