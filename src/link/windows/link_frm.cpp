#include "link/windows/link_frm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "core/channel_list.h"
#include "core/config.h"
#include "core/station_list.h"
#include "link/radio/radio_commands.h"
#include "link/radio/radio_model.h"
#include "platform/dialogs.h"
#include "platform/text.h"

TLinkFrm::TLinkFrm(QWidget* owner, TConfig& config, TChannelList& channels, TStationList& stations)
    : QDialog(owner), Label1(new QLabel("Station:", this)), StationBox(new QComboBox(this)),
      Label2(new QLabel("Channel:", this)), ChannelBox(new QComboBox(this)),
      AutoEndCheckBox(new QCheckBox("Auto End Link", this)),
      SendMailCheckBox(new QCheckBox("Send Mail", this)), Button1(new QPushButton("&OK", this)),
      Button2(new QPushButton("C&ancel", this)), Bevel2(new QFrame(this)), FConfig(config),
      FChannels(channels), FStations(stations)
{
    setWindowTitle("Manual Link");
    StationBox->setEditable(true);
    StationBox->setInsertPolicy(QComboBox::NoInsert);
    StationBox->setToolTip("Select the Station to Call");
    ChannelBox->setEditable(true);
    ChannelBox->setInsertPolicy(QComboBox::NoInsert);
    ChannelBox->setToolTip("Select the Channel to call on");
    for (QComboBox* box : {StationBox, ChannelBox}) {
        box->setMinimumContentsLength(18);
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    }
    AutoEndCheckBox->setToolTip(
        "Immediately end the link when finished with mail and fiile transfer");
    SendMailCheckBox->setToolTip(
        "Enable this option to Exchange Mail (other wise just chat and transfer files)");
    AutoEndCheckBox->setChecked(true);
    SendMailCheckBox->setChecked(true);
    Label2->hide();
    ChannelBox->hide();
    Bevel2->setFrameShape(QFrame::HLine);
    Bevel2->setFrameShadow(QFrame::Sunken);

    auto* grid = new QGridLayout;
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(StationBox, 0, 1);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(ChannelBox, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(AutoEndCheckBox);
    layout->addWidget(SendMailCheckBox);
    layout->addWidget(Bevel2);
    layout->addLayout(buttons);
    Button1->setDefault(true);

    connect(StationBox, &QComboBox::currentTextChanged, this, [this] { StationBoxChange(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void TLinkFrm::showEvent(QShowEvent* event)
{
    if (!event->spontaneous())
        FormShow();
    QDialog::showEvent(event);
}

int TLinkFrm::ChannelCount() const
{
    return std::min(FStations.GetChannelCount(), FChannels.Count());
}

std::string TLinkFrm::ChannelEntry(int index) const
{
    char number[16];
    std::snprintf(number, sizeof number, "%3.3d", index + 1);
    if (FConfig.General.HideFreq)
        return number;
    return std::string(number) + " - " +
           RadioCommands::ShortLabelText(FChannels.Get(index).TransmitFreq) + " kHz";
}

void TLinkFrm::FillChannels(int stationIndex)
{
    ChannelBox->clear();
    // Filled from the highest channel down, each at the top: the list rises
    // and the text shows the lowest channel.
    for (int c = ChannelCount() - 1; c >= 0; --c) {
        if (!FStations.IsChannelEnabled(stationIndex, c))
            continue;
        ChannelBox->insertItem(0, ToQt(ChannelEntry(c)));
        ChannelBox->setCurrentIndex(0);
    }
    if (ChannelBox->count() == 0)
        ChannelBox->setEditText(QString());
}

void TLinkFrm::FormShow()
{
    const QSignalBlocker block(StationBox);
    StationBox->clear();
    const int n = FStations.Count();
    if (n <= 1)
        return;
    const bool noRadio = RadioModelFromType(FConfig.Radio.Type) == TRadioModel::None;
    const int c = ChannelCount();
    for (int i = 1; i < n; ++i) {
        bool offered = noRadio;
        for (int ch = c - 1; ch >= 0 && !offered; --ch)
            offered = FStations.IsChannelEnabled(i, ch);
        if (offered)
            StationBox->addItem(ToQt(FStations.Get(i).Name));
    }
    // Record 1's name even when it is not offered.
    const QString first = ToQt(FStations.Get(1).Name);
    StationBox->setCurrentIndex(StationBox->findText(first, Qt::MatchFixedString));
    StationBox->setEditText(first);
    FillChannels(1);
}

void TLinkFrm::StationBoxChange()
{
    FillChannels(FStations.IndexOf(StationName()));
}

std::string TLinkFrm::StationName() const
{
    return FromQt(StationBox->currentText());
}

int TLinkFrm::Channel() const
{
    if (ChannelBox->isHidden())
        return 0;
    const std::string text = FromQt(ChannelBox->currentText()).substr(0, 3);
    int channel = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), channel);
    if (text.size() != 3 || ec != std::errc() || end != text.data() + text.size())
        return 0;
    const int station = FStations.IndexOf(StationName());
    if (station <= 0 || channel < 1 || channel > ChannelCount() ||
        !FStations.IsChannelEnabled(station, channel - 1))
        return 0;
    return channel;
}

void TLinkFrm::Button1Click()
{
    if (!ChannelBox->isHidden() && Channel() == 0) {
        ShowMessageBox("Select one of the channels offered for " + StationName() + ".",
                       "Channel Error", MB_OK, TMsgIcon::Warning);
        return;
    }
    accept();
}
