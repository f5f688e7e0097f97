#include "configui/scheduled_frm.h"

#include <QFormLayout>
#include <QVBoxLayout>
#include <charconv>

#include "platform/dialogs.h"
#include "platform/text.h"

namespace {

// One or two decimal digits up to `max`.
bool ParseField(const std::string& text, int max, int& value)
{
    if (text.empty() || text.size() > 2)
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0 && value <= max;
}

QString TwoDigits(int value)
{
    return QString("%1").arg(value, 2, 10, QChar('0'));
}

} // namespace

TScheduledFrm::TScheduledFrm(QWidget* owner) : TEditDialog(owner)
{
    setObjectName("ScheduledFrm");
    setWindowTitle("Scheduled Link");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);

    StationHeading = new QLabel("Link Station", this);
    layout->addWidget(StationHeading);
    auto* station = new QFormLayout;
    StationName = new QLineEdit("StationName", this);
    StationName->setObjectName("StationName");
    // The station of an edited link stays the same: shown, never typed in.
    StationName->setReadOnly(true);
    QPalette grey = StationName->palette();
    grey.setColor(QPalette::Base, QColor(192, 192, 192));
    StationName->setPalette(grey);
    StationLabel = new QLabel("Station:", this);
    station->addRow(StationLabel, StationName);
    layout->addLayout(station);

    layout->addWidget(new QLabel("Link Time", this));
    auto* time = new QFormLayout;
    Hour = new QComboBox(this);
    Hour->setObjectName("Hour");
    Hour->setEditable(true);
    Hour->setInsertPolicy(QComboBox::NoInsert);
    for (int h = 0; h < 24; ++h)
        Hour->addItem(TwoDigits(h));
    Minute = new QComboBox(this);
    Minute->setObjectName("Minute");
    Minute->setEditable(true);
    Minute->setInsertPolicy(QComboBox::NoInsert);
    for (int m = 0; m < 60; m += 5)
        Minute->addItem(TwoDigits(m));
    Hour->setCurrentText("00");
    Minute->setCurrentText("00");
    time->addRow("Hour:", Hour);
    time->addRow("Minute:", Minute);
    layout->addLayout(time);

    AddButtons(layout, Button1, Button2);
    connect(Button1, &QPushButton::clicked, this, &TScheduledFrm::Button1Click);
}

std::optional<TDateTime> TScheduledFrm::TimeFromTexts(const std::string& hour,
                                                      const std::string& minute)
{
    int h = 0;
    int m = 0;
    if (!ParseField(hour, 23, h) || !ParseField(minute, 59, m))
        return std::nullopt;
    return DateTime::TimeOfDay(h, m);
}

void TScheduledFrm::SetTime(TDateTime time)
{
    int h = 0;
    int m = 0;
    int s = 0;
    DateTime::DecodeTimeOfDay(time, h, m, s);
    Hour->setCurrentText(TwoDigits(h));
    Minute->setCurrentText(TwoDigits(m));
}

std::optional<TDateTime> TScheduledFrm::Time() const
{
    return TimeFromTexts(FromQt(Hour->currentText().trimmed()),
                         FromQt(Minute->currentText().trimmed()));
}

void TScheduledFrm::HideStation()
{
    for (QWidget* w : {static_cast<QWidget*>(StationHeading), static_cast<QWidget*>(StationLabel),
                       static_cast<QWidget*>(StationName)})
        w->hide();
}

void TScheduledFrm::Button1Click()
{
    if (!Time()) {
        ShowMessageBox("Please, enter an hour from 00 to 23 and a minute from 00 to 59.",
                       "Time Error", MB_OK, TMsgIcon::Warning);
        return;
    }
    done(mrOk);
}
