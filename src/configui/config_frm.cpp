#include "configui/config_frm.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "configui/channel_frm.h"
#include "configui/form_controls.h"
#include "configui/input_filters.h"
#include "configui/password_boxes.h"
#include "configui/scheduled_frm.h"
#include "configui/station_frm.h"
#include "core/channel_list.h"
#include "core/config.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "core/text_util.h"
#include "link/link_control.h"
#include "platform/dialogs.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace {

using FormControls::Button;
using FormControls::Check;
using FormControls::Edit;
using FormControls::Label;

constexpr const char* kNone = "None";

struct TCallLength {
    const char* item;
    int value;
};
constexpr TCallLength kCallLengths[] = {
    {"30 seconds", 28}, {"1 minute", 56},   {"2 minutes", 111},
    {"3 minutes", 166}, {"4 minutes", 221},
};
constexpr int kDefaultCallLength = 111;

constexpr const char* kRadioTypes[] = {
    "NONE",          "BARRETT 950",    "BARRETT 2050",   "ICOM IC-78",
    "ICOM IC-718",   "ICOM IC-F7000",  "ICOM M710",      "ICOM M802",
    "KENWOOD TK-90", "KENWOOD TRC-80", "KENWOOD TS-850", "VERTEX VX-1700",
};
constexpr const char* kTrc80 = "KENWOOD TRC-80";
constexpr const char* kTk90 = "KENWOOD TK-90";
// The radios that transmit on the frequency they receive on.
constexpr const char* kNoSplitRadios[] = {"ICOM IC-718", "ICOM IC-78", "KENWOOD TS-850"};

constexpr int kGridColumns = 13; // the name column and twelve link times
constexpr int kRadioPortBaud = 9600;

void Refuse(const std::string& text, const char* title)
{
    ShowMessageBox(text, title, MB_OK, TMsgIcon::Warning);
}

void Inform(const char* text, const char* title)
{
    ShowMessageBox(text, title, MB_OK, TMsgIcon::Information);
}

QComboBox* PickOnlyCombo(QWidget* parent, const char* name, const char* hint)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(name);
    if (hint)
        c->setToolTip(hint);
    InputFilter::MakePickOnly(c);
    return c;
}

// A frequency of the channel table without its leading zeros, e.g. "1600"
// for "01600.000": the first five characters.
std::string WholeKHz(const std::string& freq)
{
    const std::string k = freq.substr(0, 5);
    const size_t first = k.find_first_not_of('0');
    return first == std::string::npos ? std::string() : k.substr(first);
}

std::string BlanksToZeros(std::string text)
{
    for (char& c : text)
        if (c == ' ')
            c = '0';
    return text;
}

} // namespace

TConfigFrm::TConfigFrm(QWidget* owner, TStationList* stations, TChannelList* channels,
                       TScheduledLinkList* scheduledLinks, TConfig* config, TLinkControl* linkCtrl)
    : QDialog(owner), FStations(stations), FChannels(channels), FScheduledLinks(scheduledLinks),
      FConfig(config), FLinkCtrl(linkCtrl)
{
    setObjectName("ConfigFrm");
    setWindowTitle("Station Configuration");
    auto* layout = new QVBoxLayout(this);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    GeneralSheet = BuildGeneralTab();
    TabSheet2 = BuildNetworkTab();
    TabSheet3 = BuildLinkOptionsTab();
    LinkListSheet = BuildScheduledTab();
    GatewayTabSheet = BuildGatewayTab();
    PageControl1->addTab(GeneralSheet, "General");
    PageControl1->addTab(TabSheet2, "Network");
    PageControl1->addTab(TabSheet3, "Link Options");
    PageControl1->addTab(LinkListSheet, "Scheduled Link");
    PageControl1->addTab(GatewayTabSheet, "Gateway");
    layout->addWidget(PageControl1);
    MainOkBtn = Button(this, "MainOkBtn", "&OK", "Go back to Link Control Screen");
    MainOkBtn->setDefault(true);
    auto* okRow = new QHBoxLayout;
    okRow->addStretch();
    okRow->addWidget(MainOkBtn);
    layout->addLayout(okRow);
    connect(MainOkBtn, &QPushButton::clicked, this, &TConfigFrm::MainOkBtnClick);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        if (PageControl1->widget(index) == TabSheet2)
            TabSheet2Show();
    });

    RefreshStationLists();
    FillScheduledLinkGrid();
    FreqBtn->setChecked(true);
    FreqBtnClick();
    SelCalLabel->hide();
    SelCall->hide();
    TunerCheckBox->hide();
    HideFreqCheckBox->hide();
    // The role is read at start: a role chosen here shows on this tab at the
    // next start.
    PageControl1->setTabVisible(PageControl1->indexOf(GatewayTabSheet), !FConfig->IsGateway());
}

QWidget* TConfigFrm::BuildGeneralTab()
{
    auto* tab = new QWidget;
    tab->setObjectName("GeneralSheet");
    auto* grid = new QGridLayout(tab);

    auto* station = new QGroupBox("This Station Information", tab);
    auto* stationForm = new QFormLayout(station);
    Name = Edit(station, "Name", "Station Name for this station", 12);
    InputFilter::Install(Name, InputFilter::StationNameChar, true);
    Call = Edit(station, "Call", "Call Sign for this station (ie. BA1SE)", 8);
    InputFilter::Install(Call, InputFilter::LetterOrDigit, true);
    SelCall = Edit(station, "SelCall", "5757 Station SelCall ID (Selective Call)", 5);
    InputFilter::Install(SelCall, InputFilter::SelCallChar, true);
    SelCall->installEventFilter(this);
    SelCalLabel = Label(station, "SelCalLabel", "Selcall ID:");
    stationForm->addRow("Station:", Name);
    stationForm->addRow("Call:", Call);
    stationForm->addRow(SelCalLabel, SelCall);
    grid->addWidget(station, 0, 0);
    connect(Name, &QLineEdit::textEdited, this, &TConfigFrm::StationInfoKeyUp);

    auto* pass = new QGroupBox("Configuration Password", tab);
    auto* passForm = new QFormLayout(pass);
    Password = Edit(pass, "Password", "password to enter this configuration screen", 16);
    Password->setEchoMode(QLineEdit::Password);
    Password2 = Edit(pass, "Password2", "confirm the password", 16);
    Password2->setEchoMode(QLineEdit::Password);
    Button1 = Button(pass, "Button1", "&Set", "save the password configuration");
    passForm->addRow("Password:", Password);
    passForm->addRow("Confirm:", Password2);
    passForm->addRow("", Button1);
    grid->addWidget(pass, 1, 0);
    connect(Button1, &QPushButton::clicked, this, &TConfigFrm::Button1Click);

    auto* version = new QGroupBox("Version Information", tab);
    auto* versionForm = new QFormLayout(version);
    VersionLabel = Label(version, "VersionLabel", "....");
    SoftwareVersion = PickOnlyCombo(version, "SoftwareVersion", nullptr);
    for (TStationRole role :
         {TStationRole::Remote, TStationRole::MailGateway, TStationRole::MailFaxGateway})
        SoftwareVersion->addItem(RoleText(role));
    LODVersion = Label(version, "LODVersion", "....");
    S28Version = Label(version, "S28Version", "....");
    Waveform = Label(version, "Waveform", "....");
    versionForm->addRow("Software Exe:", VersionLabel);
    versionForm->addRow("Software Ver:", SoftwareVersion);
    versionForm->addRow(Label(version, nullptr, "Modem:"));
    versionForm->addRow("DSP:", LODVersion);
    versionForm->addRow("CPU:", S28Version);
    versionForm->addRow("Mode:", Waveform);
    grid->addWidget(version, 0, 1);
    connect(SoftwareVersion, &QComboBox::currentTextChanged, this,
            &TConfigFrm::SoftwareVersionChange);

    auto* radio = new QGroupBox("Transceiver Information", tab);
    auto* radioForm = new QFormLayout(radio);
    RadioType = PickOnlyCombo(radio, "RadioType", nullptr);
    for (const char* type : kRadioTypes)
        RadioType->addItem(type);
    RadioType->setMaxVisibleItems(11);
    TunerCheckBox =
        Check(radio, "TunerCheckBox", "Antenna Tuner", "Sets PTT on for 5 seconds before transmit");
    HideFreqCheckBox = Check(radio, "HideFreqCheckBox", "Hide Freq",
                             "Hide the frequency information from the user for security");
    radioForm->addRow("Type:", RadioType);
    radioForm->addRow("", TunerCheckBox);
    radioForm->addRow("", HideFreqCheckBox);
    grid->addWidget(radio, 1, 1);
    connect(RadioType, &QComboBox::currentTextChanged, this, &TConfigFrm::RadioTypeChange);
    return tab;
}

QWidget* TConfigFrm::BuildNetworkTab()
{
    auto* tab = new QWidget;
    tab->setObjectName("TabSheet2");
    auto* row = new QHBoxLayout(tab);

    auto* stations = new QVBoxLayout;
    stations->addWidget(Label(tab, "Label3", "Stations"));
    StationListBox = new QListWidget(tab);
    StationListBox->setObjectName("StationListBox");
    stations->addWidget(StationListBox);
    auto* stationButtons = new QHBoxLayout;
    AddStationBtn = Button(tab, "AddStationBtn", "Add", "Add a station to the HF network");
    RemoveStationBtn =
        Button(tab, "RemoveStationBtn", "Remove", "Remove a station from the HF network");
    EditStationBtn = Button(tab, "EditStationBtn", "Edit", "Edit a station that is selected");
    for (QPushButton* b : {AddStationBtn, RemoveStationBtn, EditStationBtn})
        stationButtons->addWidget(b);
    stations->addLayout(stationButtons);
    row->addLayout(stations, 1);

    auto* channels = new QVBoxLayout;
    channels->addWidget(Label(tab, "Label4", "Channels"));
    auto* panel = new QFrame(tab);
    panel->setObjectName("Panel7");
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(9);
    // Captions over the columns of the fixed-pitch lines ("001  7102  7102
    // LSB"), past the tick boxes.
    const QFontMetrics metrics(fixed);
    auto caption = [&](QWidget* parent, const char* text, int characters) {
        QLabel* l = Label(parent, nullptr, text);
        l->setFont(fixed);
        l->setFixedWidth(metrics.horizontalAdvance(QString(characters, '0')));
        l->setAlignment(Qt::AlignRight);
        return l;
    };
    auto* header = new QHBoxLayout;
    header->setSpacing(0);
    const int itemMargin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
    header->setContentsMargins(style()->pixelMetric(QStyle::PM_IndicatorWidth) + 3 * itemMargin, 0,
                               0, 0);
    QLabel* ch = caption(panel, "CH", 3);
    ch->setAlignment(Qt::AlignLeft);
    header->addWidget(ch);
    auto* freqHeader = new QWidget(panel);
    auto* freqHeaderLayout = new QHBoxLayout(freqHeader);
    freqHeaderLayout->setContentsMargins(0, 0, 0, 0);
    freqHeaderLayout->setSpacing(0);
    freqHeaderLayout->addWidget(caption(freqHeader, "RX", 6));
    freqHeaderLayout->addWidget(caption(freqHeader, "TX", 6));
    QLabel* band = caption(freqHeader, " Band", 5);
    band->setAlignment(Qt::AlignLeft);
    freqHeaderLayout->addWidget(band);
    freqHeaderLayout->addStretch();
    header->addWidget(freqHeader, 1);
    LQ1Panel = Label(panel, "LQ1Panel", "Best Time for Use");
    LQ1Panel->setFont(fixed);
    LQEndPanel = Label(panel, "LQEndPanel", "");
    header->addSpacing(metrics.horizontalAdvance("000"));
    header->addWidget(LQ1Panel, 1);
    header->addWidget(LQEndPanel);
    panelLayout->addLayout(header);
    // The two INFO panels cover the frequency captions.
    LQBtn = Button(tab, "LQBtn", "INFO", "View LQ (Link Quality) information");
    connect(LQBtn, &QPushButton::toggled, freqHeader, &QWidget::setHidden);
    ChannelListBox = new QListWidget(panel);
    ChannelListBox->setObjectName("ChannelListBox");
    ChannelListBox->setFrameStyle(QFrame::NoFrame);
    ChannelListBox->setFont(fixed);
    panelLayout->addWidget(ChannelListBox);
    channels->addWidget(panel);
    auto* channelButtons = new QHBoxLayout;
    ChannelsAddBtn = Button(tab, "ChannelsAddBtn", "Add", "Add a channel to the HF network");
    ChannelsRemovebtn =
        Button(tab, "ChannelsRemovebtn", "Remove", "Remove a channel from the HF Network");
    ChannelsEditBtn =
        Button(tab, "ChannelsEditBtn", "Edit", "Edit a Channel that is in the HF network");
    for (QPushButton* b : {ChannelsAddBtn, ChannelsRemovebtn, ChannelsEditBtn})
        channelButtons->addWidget(b);
    channels->addLayout(channelButtons);
    auto* view = new QHBoxLayout;
    view->addWidget(Label(tab, "Label35", "View"));
    FreqBtn = Button(tab, "FreqBtn", "FREQ", "View frequency information");
    for (QPushButton* b : {FreqBtn, LQBtn}) {
        b->setCheckable(true);
        view->addWidget(b);
    }
    view->addStretch();
    channels->addLayout(view);
    row->addLayout(channels, 2);

    connect(StationListBox, &QListWidget::currentRowChanged, this,
            &TConfigFrm::StationListBoxClick);
    connect(AddStationBtn, &QPushButton::clicked, this, &TConfigFrm::AddStationBtnClick);
    connect(RemoveStationBtn, &QPushButton::clicked, this, &TConfigFrm::RemoveStationBtnClick);
    connect(EditStationBtn, &QPushButton::clicked, this, &TConfigFrm::EditStationBtnClick);
    connect(ChannelsAddBtn, &QPushButton::clicked, this, &TConfigFrm::ChannelsAddBtnClick);
    connect(ChannelsRemovebtn, &QPushButton::clicked, this, &TConfigFrm::ChannelsRemovebtnClick);
    connect(ChannelsEditBtn, &QPushButton::clicked, this, &TConfigFrm::ChannelsEditBtnClick);
    connect(ChannelListBox, &QListWidget::itemChanged, this, &TConfigFrm::ChannelListBoxClickCheck);
    connect(FreqBtn, &QPushButton::clicked, this, &TConfigFrm::FreqBtnClick);
    connect(LQBtn, &QPushButton::clicked, this, &TConfigFrm::LQBtnClick);
    return tab;
}

QWidget* TConfigFrm::BuildLinkOptionsTab()
{
    auto* tab = new QWidget;
    tab->setObjectName("TabSheet3");
    auto* grid = new QGridLayout(tab);
    int row = 0;
    grid->addWidget(Label(tab, "ALELabel", "Auto-Call"), row++, 0, 1, 4);
    ALEEnabled = Check(tab, "ALEEnabled", "Enabled", "Enable auto-calling to remote stations");
    grid->addWidget(Label(tab, nullptr, "Auto-Call Mode:"), row, 0);
    grid->addWidget(ALEEnabled, row++, 1);
    auto spin = [&](const char* name, const char* caption, int min, int max, int value,
                    const char* range, const char* unit, const char* hint) {
        auto* s = new QSpinBox(tab);
        s->setObjectName(name);
        s->setRange(min, max);
        s->setValue(value);
        s->setToolTip(hint);
        grid->addWidget(Label(tab, nullptr, caption), row, 0);
        grid->addWidget(s, row, 1);
        grid->addWidget(Label(tab, nullptr, range), row, 2);
        grid->addWidget(Label(tab, nullptr, unit), row++, 3);
        return s;
    };
    Attempts = spin("Attempts", "Link Retry:", 1, 100, 10, "(1-100)", "per message",
                    "Select the number of total times to retry an auto-call");
    Delay = spin("Delay", "Retry Delay:", 5, 240, 15, "(5-240)", "per attempt",
                 "Select the delay between retry attempts ");

    grid->addWidget(Label(tab, "Label33", "Link"), row++, 0, 1, 4);
    PrivateCode = Check(tab, "PrivateCode", "Enabled", "Select a Private HF network code");
    grid->addWidget(Label(tab, "Label42", "Private Code:"), row, 0);
    grid->addWidget(PrivateCode, row++, 1);
    // Two rows of three masks, a "-" between neighbours.
    auto* masks = new QGridLayout;
    QLabel** separators[4] = {&Label24, &Label27, &Label43, &Label44};
    const char* separatorNames[4] = {"Label24", "Label27", "Label43", "Label44"};
    for (int i = 0; i < 6; ++i) {
        Mask[i] = Edit(tab, QString("Mask%1").arg(i + 1).toLatin1().constData(), nullptr, 4);
        Mask[i]->setText("Zq4v");
        InputFilter::Install(Mask[i], InputFilter::LetterOrDigit, true);
        masks->addWidget(Mask[i], i / 3, (i % 3) * 2);
        if (i % 3 != 2) {
            const int s = (i / 3) * 2 + i % 3;
            *separators[s] = Label(tab, separatorNames[s], "-");
            masks->addWidget(*separators[s], i / 3, (i % 3) * 2 + 1);
        }
    }
    Label26 = Label(tab, "Label26", "(A-Z, a-z, 0-9)");
    masks->addWidget(Label26, 1, 5);
    grid->addLayout(masks, row++, 1, 1, 3);
    connect(PrivateCode, &QCheckBox::clicked, this, &TConfigFrm::PrivateCodeClick);

    BusyChannelDetectCheckBox =
        Check(tab, "BusyChannelDetectCheckBox", "Detector Enabled",
              "Allow the system to check for existing VESKAR activity before calling");
    grid->addWidget(Label(tab, "Label48", "Busy Channel:"), row, 0);
    grid->addWidget(BusyChannelDetectCheckBox, row++, 1);
    CallLengthComboBox = PickOnlyCombo(tab, "CallLengthComboBox", nullptr);
    for (const TCallLength& c : kCallLengths)
        CallLengthComboBox->addItem(c.item);
    InputFilter::ShowText(CallLengthComboBox, "1 minute");
    grid->addWidget(Label(tab, nullptr, "Call Length:"), row, 0);
    grid->addWidget(CallLengthComboBox, row++, 1);
    grid->setRowStretch(row, 1);
    return tab;
}

QWidget* TConfigFrm::BuildScheduledTab()
{
    auto* tab = new QWidget;
    tab->setObjectName("LinkListSheet");
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(Label(tab, "Label18", "Scheduled Links"));
    ScheduledStringGrid = new QTableWidget(0, kGridColumns, tab);
    ScheduledStringGrid->setObjectName("ScheduledStringGrid");
    ScheduledStringGrid->setToolTip("Double Click to Add Scheduled Links");
    ScheduledStringGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ScheduledStringGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    ScheduledStringGrid->verticalHeader()->hide();
    ScheduledStringGrid->verticalHeader()->setDefaultSectionSize(20);
    // Wide enough for "hh:mm" in the font in use.
    ScheduledStringGrid->horizontalHeader()->setDefaultSectionSize(
        std::max(35, ScheduledStringGrid->fontMetrics().horizontalAdvance("00:00") + 10));
    QStringList numbers{""};
    for (int c = 1; c < kGridColumns; ++c)
        numbers << QString("(%1)").arg(c);
    ScheduledStringGrid->setHorizontalHeaderLabels(numbers);
    ScheduledStringGrid->setColumnWidth(0, 90);
    layout->addWidget(ScheduledStringGrid);
    auto* buttons = new QHBoxLayout;
    ScheduledLinkAddBtn =
        Button(tab, "ScheduledLinkAddBtn", "Add", "Add a scheduled link to an HF station");
    ScheduledLinkRemoveBtn =
        Button(tab, "ScheduledLinkRemoveBtn", "Remove", "Remove a scheduled link to an HF station");
    ScheduledLinkEditBtn =
        Button(tab, "ScheduledLinkEditBtn", "Edit", "Edit a scheduled link to an HF station");
    for (QPushButton* b : {ScheduledLinkAddBtn, ScheduledLinkRemoveBtn, ScheduledLinkEditBtn}) {
        b->setEnabled(false);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    layout->addLayout(buttons);

    connect(ScheduledLinkAddBtn, &QPushButton::clicked, this,
            &TConfigFrm::ScheduledLinkAddBtnClick);
    connect(ScheduledLinkRemoveBtn, &QPushButton::clicked, this,
            &TConfigFrm::ScheduledLinkRemoveBtnClick);
    connect(ScheduledLinkEditBtn, &QPushButton::clicked, this,
            &TConfigFrm::ScheduledLinkEditBtnClick);
    connect(ScheduledStringGrid, &QTableWidget::currentCellChanged, this,
            [this](int row, int column, int previousRow, int previousColumn) {
                // The name column is the grid's fixed column: never selected.
                if (row < 0 || column < 1 || !ScheduledStringGridSelectCell(column, row + 1)) {
                    const QSignalBlocker block(ScheduledStringGrid);
                    ScheduledStringGrid->setCurrentCell(previousRow, previousColumn);
                }
            });
    connect(ScheduledStringGrid, &QTableWidget::cellDoubleClicked, this, [this](int, int column) {
        if (column > 0 && ScheduledLinkAddBtn->isEnabled())
            ScheduledLinkAddBtnClick();
    });
    return tab;
}

QWidget* TConfigFrm::BuildGatewayTab()
{
    auto* tab = new QWidget;
    tab->setObjectName("GatewayTabSheet");
    auto* form = new QFormLayout(tab);
    form->addRow(Label(tab, "Label7", "Internet Gateway"));
    MailGateway = PickOnlyCombo(tab, "MailGateway", "Select the Mail Gateway station");
    form->addRow(Label(tab, "Label32", "Station:"), MailGateway);
    // The fax gateway is kept and checked, but not chosen here.
    FaxGateway = PickOnlyCombo(tab, "FaxGateway", nullptr);
    FaxGateway->hide();
    FaxGateway->setEnabled(false);
    return tab;
}

int TConfigFrm::CallLengthValue(const std::string& item)
{
    for (const TCallLength& c : kCallLengths)
        if (item == c.item)
            return c.value;
    return 0;
}

int TConfigFrm::LinkQualityFromText(const std::string& text)
{
    // "5%" to "100%"; anything else reads as 80 %, a new channel's quality.
    int percent = 0;
    if (std::sscanf(text.c_str(), "%d%%", &percent) != 1 || percent < 5 || percent > 100 ||
        percent % 5 != 0 || text != std::to_string(percent) + "%")
        return 16;
    return percent / 5;
}

void TConfigFrm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The window system's own show events (mapping, restoring) are no new
    // showing of the dialog.
    if (!event->spontaneous())
        FormShow();
}

void TConfigFrm::done(int result)
{
    QDialog::done(result);
    FormClose();
}

bool TConfigFrm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == SelCall && event->type() == QEvent::FocusOut)
        SelCallExit();
    return QDialog::eventFilter(watched, event);
}

void TConfigFrm::FormShow()
{
    FLinkCtrl->SetScanning(false);
    FLinkCtrl->SetALETimerEnabled(false);
    FShown = true;
    FConfirmed = false;
    TConfig& c = *FConfig;
    FShownRadioType = c.Radio.Type;

    ALEEnabled->setChecked(c.AleVeskar.Enabled);
    Attempts->setValue(c.AleVeskar.Attempts);
    Delay->setValue(c.AleVeskar.Delay);
    const TCallLength* length = nullptr;
    for (const TCallLength& l : kCallLengths)
        if (l.value == c.AleVeskar.CallLength)
            length = &l;
    if (!length) {
        c.AleVeskar.CallLength = kDefaultCallLength;
        length = &kCallLengths[2];
    }
    InputFilter::ShowText(CallLengthComboBox, length->item);
    for (int i = 0; i < 6; ++i)
        Mask[i]->setText(ToQt(c.AleVeskar.Mask[i]));
    PrivateCode->setChecked(c.AleVeskar.Private);
    PrivateCodeClick();
    BusyChannelDetectCheckBox->setChecked(c.AleVeskar.BusyChannelDetect);

    {
        auto lock = c.Lock();
        InputFilter::ShowText(MailGateway, c.Mail.Gateway.empty() ? kNone : c.Mail.Gateway);
        InputFilter::ShowText(FaxGateway, c.Fax.Gateway);
        Password->setText(ToQt(c.Station.Pass));
    }
    // The tables may have changed since the dialog was last shown.
    RefreshStationLists();
    FillScheduledLinkGrid();
    PageControl1->setCurrentWidget(GeneralSheet);

    VersionLabel->setText(ToQt(Shell::ProgramVersion()));
    LODVersion->setText(ToQt(c.DspVersion));
    S28Version->setText(ToQt(c.CpuVersion));
    Waveform->setText(ToQt("VESKAR " + c.WaveformVariant));
    TunerCheckBox->setChecked(c.Radio950.Tuner);
    HideFreqCheckBox->setChecked(c.General.HideFreq);
    {
        const QSignalBlocker blockRadio(RadioType);
        const QSignalBlocker blockRole(SoftwareVersion);
        InputFilter::ShowText(RadioType, c.Radio.Type);
        InputFilter::ShowText(SoftwareVersion, RoleText(c.General.Role));
    }
    RefreshChannelList();
}

void TConfigFrm::MainOkBtnClick()
{
    const std::string name = FromQt(Name->text());
    if (const std::string problem = ThisStationNameProblem(name); !problem.empty()) {
        PageControl1->setCurrentWidget(GeneralSheet);
        Name->setFocus();
        Refuse(problem, "Station Name Error");
        return;
    }
    StoreThisStation();

    TConfig& c = *FConfig;
    std::string radioType;
    {
        auto lock = c.Lock();
        if (c.IsGateway())
            c.Mail.Gateway = name;
        else {
            // An empty mail gateway would make this station the gateway.
            const std::string gateway = FromQt(MailGateway->currentText());
            c.Mail.Gateway = gateway.empty() ? kNone : gateway;
        }
        c.AleVeskar.Enabled = ALEEnabled->isChecked();
        c.AleVeskar.Mode = "VESKAR";
        c.AleVeskar.Attempts = Attempts->value();
        c.AleVeskar.Delay = Delay->value();
        for (int i = 0; i < 6; ++i)
            c.AleVeskar.Mask[i] = FromQt(Mask[i]->text()).substr(0, 4);
        c.AleVeskar.Private = PrivateCode->isChecked();
        c.AleVeskar.BusyChannelDetect = BusyChannelDetectCheckBox->isChecked();
        c.UpdatePrivateNetworkCode();
        if (const int length = CallLengthValue(FromQt(CallLengthComboBox->currentText())))
            c.AleVeskar.CallLength = length;
        radioType = FromQt(RadioType->currentText());
        c.Radio.Type = radioType;
        c.Fax.Gateway = FromQt(FaxGateway->currentText());
    }
    FLinkCtrl->SetChannelReadoutVisible(UpperCase(radioType) != "NONE");
    c.Save();
    FLinkCtrl->BuildAutoLinkSchedule();
    FLinkCtrl->AddStatusLine("Resetting Station Parameters", true);
    FLinkCtrl->OpenModemPort(c.Modem.Port);
    FConfirmed = true;
    // Closing restarts scanning and sets the automatic-link timer.
    done(Accepted);
}

void TConfigFrm::FormClose()
{
    if (FShown && !FConfirmed) {
        // A Kenwood radio picked for its read-out is not kept without OK.
        auto lock = FConfig->Lock();
        FConfig->Radio.Type = FShownRadioType;
    }
    FShown = false;
    FConfirmed = false;
    FLinkCtrl->SetScanning(true);
    FLinkCtrl->SetALETimerEnabled(FConfig->AleVeskar.Enabled);
}

// General tab.

void TConfigFrm::Button1Click()
{
    if (StorePasswordFromBoxes(Password, Password2, *FConfig, FConfig->Station.Pass))
        Password2->clear();
}

void TConfigFrm::StationInfoKeyUp()
{
    // Only a changed name suggests a call sign: other keys leave a call sign
    // the operator typed.
    if (!TStationFrm::SuggestCallSign(Name, Call, FLastName))
        return;
    StoreThisStation();
    RefreshStationLists(false);
}

void TConfigFrm::SelCallExit()
{
    TStationFrm::CheckSelCall(SelCall);
}

std::string TConfigFrm::ThisStationNameProblem(const std::string& name) const
{
    if (name.empty())
        return "Please, enter a station Name.";
    const auto stations = FStations->GetAll();
    for (size_t i = 1; i < stations.size(); ++i)
        if (SameTextIgnoreCase(stations[i].Name, name))
            return "Station Name has already been assigned.\nPlease, enter a different station "
                   "Name.";
    return std::string();
}

bool TConfigFrm::StoreThisStation()
{
    const std::string name = FromQt(Name->text());
    if (!ThisStationNameProblem(name).empty())
        return false;
    TStation station = FStations->Get(0);
    const std::string old = station.Name;
    station.Name = name;
    station.Call = FromQt(Call->text());
    station.SelCall = FromQt(SelCall->text());
    if (FStations->Count() == 0)
        FStations->Add(station);
    else
        FStations->Modify(station, 0);
    if (!old.empty() && old != name)
        CarryRename(old, name);
    return true;
}

void TConfigFrm::CarryRename(const std::string& from, const std::string& to)
{
    const auto stations = FStations->GetAll();
    for (size_t i = 1; i < stations.size(); ++i) {
        if (SameTextIgnoreCase(stations[i].RouteVia, from)) {
            TStation s = stations[i];
            s.RouteVia = to;
            FStations->Modify(s, static_cast<int>(i));
        }
    }
    for (const TScheduledLink& link : FScheduledLinks->GetAll())
        if (SameTextIgnoreCase(link.StationName, from))
            FScheduledLinks->Modify(link.StationName, DateTime::FormatTimeOfDay(link.Time),
                                    TScheduledLink{to, link.Time});
    for (QComboBox* gateway : {MailGateway, FaxGateway})
        if (SameTextIgnoreCase(FromQt(gateway->currentText()), from))
            gateway->setEditText(ToQt(to));
}

void TConfigFrm::RadioTypeChange()
{
    const std::string type = FromQt(RadioType->currentText());
    const bool trc80 = type == kTrc80;
    const bool tk90 = type == kTk90;
    {
        // Only a radio read out now needs its type at once; any other pick
        // waits for OK.
        auto lock = FConfig->Lock();
        FConfig->Radio.Type = trc80 || tk90 ? type : FShownRadioType;
    }
    if (trc80)
        Inform("The Kenwood TRC-80 can not be user programmed. \n\nChannel Information will be "
               "read now.",
               "KENWOOD TRC-80 Information");
    else if (tk90)
        Inform("The Kenwood TK-90 must be dealer programmed. \n\nPlease wait until channel "
               "information is read.",
               "KENWOOD TK-90 Information");
    else
        return;
    FLinkCtrl->ConfigureRadioPort(kRadioPortBaud);
    FLinkCtrl->QueryRadioChannels();
    if (tk90)
        FLinkCtrl->SetScanning(true);
}

void TConfigFrm::SoftwareVersionChange()
{
    {
        auto lock = FConfig->Lock();
        FConfig->General.Role = RoleFromText(FromQt(SoftwareVersion->currentText()));
    }
    Inform("This change requires restarting VESKAR MAIL. \n\nPlease restart VESKAR Mail after "
           "editing this configuration page.",
           "VESKAR Mail Restart Information");
}

// Link Options tab.

void TConfigFrm::PrivateCodeClick()
{
    const bool on = PrivateCode->isChecked();
    for (QLineEdit* m : Mask)
        m->setEnabled(on);
    for (QLabel* l : {Label24, Label27, Label43, Label44, Label26})
        l->setEnabled(on);
}

// Network tab.

int TConfigFrm::SelectedStation() const
{
    return StationListBox->currentRow();
}

void TConfigFrm::RefreshStationLists(bool loadThisStation)
{
    const auto stations = FStations->GetAll();
    {
        const QSignalBlocker block(StationListBox);
        const int selected = StationListBox->currentRow();
        StationListBox->clear();
        for (const TStation& s : stations)
            StationListBox->addItem(ToQt(s.Name));
        if (selected < 0)
            StationListBox->setCurrentRow(StationListBox->count() - 1);
        else if (selected < StationListBox->count())
            StationListBox->setCurrentRow(selected);
    }
    if (loadThisStation && !stations.empty()) {
        Name->setText(ToQt(stations[0].Name));
        Call->setText(ToQt(stations[0].Call));
        SelCall->setText(ToQt(stations[0].SelCall));
        FLastName = Name->text();
    }
    FillMailGatewayItems();
    {
        const QSignalBlocker block(FaxGateway);
        const QString shown = FaxGateway->currentText();
        FaxGateway->clear();
        for (const TStation& s : stations)
            FaxGateway->addItem(ToQt(s.Name));
        FaxGateway->setEditText(shown);
    }
    CheckGatewayStations();
    UpdateRemoveStationButton();
}

void TConfigFrm::FillMailGatewayItems()
{
    const QSignalBlocker block(MailGateway);
    const QString shown = MailGateway->currentText();
    const std::string self = FromQt(Name->text());
    MailGateway->clear();
    MailGateway->addItem(kNone);
    for (const TStation& s : FStations->GetAll())
        if (!SameTextIgnoreCase(s.Name, self))
            MailGateway->addItem(ToQt(s.Name));
    MailGateway->setEditText(shown);
}

void TConfigFrm::CheckGatewayStations()
{
    const std::string mail = FromQt(MailGateway->currentText());
    const std::string fax = FromQt(FaxGateway->currentText());
    // Each choice is checked by itself. A gateway station's mail gateway is
    // the station itself, whatever was stored.
    const bool checkMail = PageControl1->isTabVisible(PageControl1->indexOf(GatewayTabSheet)) &&
                           !mail.empty() && !SameTextIgnoreCase(mail, kNone);
    const bool checkFax = !fax.empty();
    bool mailListed = false;
    bool faxListed = false;
    for (int i = 0; i < StationListBox->count(); ++i) {
        const std::string line = FromQt(StationListBox->item(i)->text());
        mailListed = mailListed || line == mail;
        faxListed = faxListed || line == fax;
    }
    const bool mailBad = checkMail && !mailListed;
    const bool faxBad = checkFax && !faxListed;
    if (mailBad)
        MailGateway->setEditText(kNone);
    if (faxBad)
        FaxGateway->setEditText("");
    if (mailBad && faxBad)
        Refuse("Mail and Fax Gateway stations were invalid and reset. \n Please, update these "
               "settings",
               "Gateway Error");
    else if (mailBad)
        Refuse("Mail Gateway station was invalid and reset. \n Please, update this setting",
               "Gateway Error");
    else if (faxBad)
        Refuse("Fax Gateway station was invalid and reset. \n Please, update this setting",
               "Gateway Error");
}

void TConfigFrm::UpdateRemoveStationButton()
{
    RemoveStationBtn->setEnabled(SelectedStation() != 0);
}

void TConfigFrm::StationListBoxClick()
{
    UpdateRemoveStationButton();
    RefreshChannelList();
}

void TConfigFrm::TabSheet2Show()
{
    StationListBoxClick();
}

void TConfigFrm::RefreshChannelList()
{
    const int station = SelectedStation();
    const std::string stationName = station >= 0 ? FStations->Get(station).Name : std::string();
    const auto channels = FChannels->GetAll();
    const QSignalBlocker block(ChannelListBox);
    const int selected = ChannelListBox->currentRow();
    // The lines are rewritten in place: a tick's own handler refreshes them.
    while (ChannelListBox->count() > static_cast<int>(channels.size()))
        delete ChannelListBox->takeItem(ChannelListBox->count() - 1);
    while (ChannelListBox->count() < static_cast<int>(channels.size()))
        ChannelListBox->addItem(new QListWidgetItem);
    for (size_t i = 0; i < channels.size(); ++i) {
        const int ch = static_cast<int>(i);
        const bool enabled = station >= 0 && FStations->IsChannelEnabled(station, ch);
        char line[64];
        if (!FInfoView)
            std::snprintf(line, sizeof line, "%3.3d %5.5s %5.5s %3.3s", ch + 1,
                          WholeKHz(channels[i].ReceiveFreq).c_str(),
                          WholeKHz(channels[i].TransmitFreq).c_str(), channels[i].SideBand.c_str());
        else {
            std::string word;
            if (enabled) {
                int q[4];
                FStations->GetLinkQualities(stationName, ch, q[0], q[1], q[2], q[3]);
                std::string texts[4];
                for (int slot = 0; slot < 4; ++slot)
                    texts[slot] = std::to_string(q[slot]) + "%";
                word = TChannelFrm::BestTimeWord(texts);
            }
            std::snprintf(line, sizeof line, "%3.3d   %s", ch + 1, word.c_str());
        }
        QListWidgetItem* item = ChannelListBox->item(ch);
        item->setText(ToQt(line));
        const bool isNew = !(item->flags() & Qt::ItemIsUserCheckable);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        // Without a station there is no flag to show: ticks stay as they are.
        if (station >= 0 || isNew)
            item->setCheckState(enabled ? Qt::Checked : Qt::Unchecked);
    }
    if (selected >= 0 && selected < ChannelListBox->count())
        ChannelListBox->setCurrentRow(selected);
    else
        ChannelListBox->setCurrentRow(ChannelListBox->count() - 1);
}

void TConfigFrm::ChannelListBoxClickCheck(QListWidgetItem* item)
{
    const int station = SelectedStation();
    const int channel = ChannelListBox->row(item);
    if (station >= 0 && channel >= 0)
        FStations->SetChannelEnabled(station, channel, item->checkState() == Qt::Checked);
    RefreshChannelList();
}

void TConfigFrm::FreqBtnClick()
{
    FInfoView = !FreqBtn->isChecked();
    LQBtn->setChecked(FInfoView);
    LQ1Panel->setVisible(FInfoView);
    LQEndPanel->setVisible(FInfoView);
    RefreshChannelList();
}

void TConfigFrm::LQBtnClick()
{
    FreqBtn->setChecked(!LQBtn->isChecked());
    FreqBtnClick();
}

void TConfigFrm::AddStationBtnClick()
{
    TStationFrm frm(this, FStations);
    if (ShowModal(frm) == TStationFrm::mrOk) {
        const auto channels = static_cast<size_t>(FChannels->Count());
        TStation s;
        s.Name = FromQt(frm.Name->text());
        s.Call = FromQt(frm.Call->text());
        s.SelCall = FromQt(frm.SelCall->text());
        s.RouteVia = FromQt(frm.RouteVia->currentText());
        s.AutoCall = frm.AutoCallCheckBox->isChecked() ? "ENABLED" : "DISABLED";
        s.ChannelFlags = std::string(channels, 'Y');
        s.LinkQuality = std::string(channels * 4, '@');
        FStations->Add(s);
    }
    RefreshStationLists(false);
    FillScheduledLinkGrid();
}

void TConfigFrm::EditStationBtnClick()
{
    const int index = SelectedStation();
    if (index < 0)
        return;
    TStationFrm frm(this, FStations);
    if (index == 0)
        for (QWidget* w :
             {static_cast<QWidget*>(frm.RouteVia), static_cast<QWidget*>(frm.AutoCallCheckBox),
              static_cast<QWidget*>(frm.RouteViaLabel), static_cast<QWidget*>(frm.AutoCallLabel)})
            w->setEnabled(false);
    TStation s = FStations->Get(index);
    frm.Name->setText(ToQt(s.Name));
    frm.Name->setEnabled(false);
    QPalette grey = frm.Name->palette();
    grey.setColor(QPalette::Disabled, QPalette::Base, Qt::gray);
    grey.setColor(QPalette::Disabled, QPalette::Text, Qt::white);
    frm.Name->setPalette(grey);
    frm.Call->setText(ToQt(s.Call));
    frm.SelCall->setText(ToQt(s.SelCall));
    InputFilter::ShowText(frm.RouteVia, s.RouteVia);
    frm.AutoCallCheckBox->setChecked(s.AutoCall == "ENABLED");
    if (ShowModal(frm) == TStationFrm::mrOk) {
        s.Call = FromQt(frm.Call->text());
        s.SelCall = FromQt(frm.SelCall->text());
        s.RouteVia = FromQt(frm.RouteVia->currentText());
        s.AutoCall = frm.AutoCallCheckBox->isChecked() ? "ENABLED" : "DISABLED";
        FStations->Modify(s, index);
    }
    RefreshStationLists();
    FillScheduledLinkGrid();
}

void TConfigFrm::RemoveStationBtnClick()
{
    const int index = SelectedStation();
    // This station (line 0) is never removed.
    if (index > 0) {
        const auto stations = FStations->GetAll();
        const std::string name = stations[index].Name;
        for (const TStation& s : stations) {
            if (&s != &stations[index] && SameTextIgnoreCase(s.RouteVia, name)) {
                Refuse("Mail for " + s.Name + " is routed via " + name +
                           ".\nPlease, change its route before removing " + name + ".",
                       "Station Error");
                FillScheduledLinkGrid();
                return;
            }
        }
        FStations->Delete(index);
        for (const TScheduledLink& link : FScheduledLinks->GetAll())
            if (SameTextIgnoreCase(link.StationName, name))
                FScheduledLinks->Delete(link.StationName, DateTime::FormatTimeOfDay(link.Time));
        RefreshStationLists(false);
        // The line now selected is another station: its ticks, not the
        // removed one's.
        if (SelectedStation() >= 0)
            RefreshChannelList();
    }
    FillScheduledLinkGrid();
}

bool TConfigFrm::RadioRefusesChannels() const
{
    const std::string type = UpperCase(FromQt(RadioType->currentText()));
    if (type == "NONE")
        Inform("Please, select your radio model\n\nbefore adding channel information.",
               "VESKAR Mail");
    else if (type == kTrc80)
        Inform("The Kenwood TRC-80 can not be user programmed. \n\nPlease, contact your Kenwood "
               "dealer.",
               "KENWOOD TRC-80 Information");
    else if (type == kTk90)
        Inform("The Kenwood TK-90 can not be user programmed. \n\nPlease, contact your Kenwood "
               "dealer.",
               "KENWOOD TK-90 Information");
    else
        return false;
    return true;
}

void TConfigFrm::ReadLinkQualities(const TChannelFrm& frm, int (&steps)[4])
{
    QComboBox* const lq[4] = {frm.LQ1, frm.LQ2, frm.LQ3, frm.LQ4};
    for (int slot = 0; slot < 4; ++slot)
        steps[slot] = LinkQualityFromText(FromQt(lq[slot]->currentText()));
}

bool TConfigFrm::RadioHasSplit() const
{
    const std::string type = FromQt(RadioType->currentText());
    for (const char* noSplit : kNoSplitRadios)
        if (type == noSplit)
            return false;
    return true;
}

void TConfigFrm::ChannelsAddBtnClick()
{
    if (RadioRefusesChannels())
        return;
    TChannelFrm frm(this);
    if (!RadioHasSplit())
        frm.CheckBox1->setEnabled(false);
    frm.TX2->setText("000");
    frm.RX2->setText("000");
    if (ShowModal(frm) != TChannelFrm::mrOk)
        return;
    FChannels->Add(TChannel{BlanksToZeros(frm.TransmitFreq), BlanksToZeros(frm.ReceiveFreq),
                            FromQt(frm.SideBand->currentText())});
    const int channel = FChannels->Count() - 1;
    int steps[4];
    ReadLinkQualities(frm, steps);
    if (SelectedStation() < 0 && StationListBox->count() > 1)
        StationListBox->setCurrentRow(1);
    const auto stations = FStations->GetAll();
    for (size_t i = 0; i < stations.size(); ++i) {
        FStations->SetChannelEnabled(static_cast<int>(i), channel, true);
        FStations->SetLinkQualities(stations[i].Name, channel, steps[0], steps[1], steps[2],
                                    steps[3]);
    }
    RefreshChannelList();
    ChannelListBox->setCurrentRow(ChannelListBox->count() - 1);
}

void TConfigFrm::ChannelsEditBtnClick()
{
    if (RadioRefusesChannels())
        return;
    const int channel = ChannelListBox->currentRow();
    const int station = SelectedStation();
    if (channel < 0 || station < 0)
        return;
    TChannelFrm frm(this);
    const TChannel c = FChannels->Get(channel);
    const std::string stationName = FStations->Get(station).Name;
    frm.CheckBox1->setChecked(c.TransmitFreq != c.ReceiveFreq);
    InputFilter::ShowText(frm.SideBand, c.SideBand);
    frm.RX1->setText(ToQt(c.ReceiveFreq.substr(0, 5)));
    frm.RX2->setText(ToQt(c.ReceiveFreq.size() > 6 ? c.ReceiveFreq.substr(6, 3) : ""));
    frm.TX1->setText(ToQt(c.TransmitFreq.substr(0, 5)));
    frm.TX2->setText(ToQt(c.TransmitFreq.size() > 6 ? c.TransmitFreq.substr(6, 3) : ""));
    if (!RadioHasSplit()) {
        // The transmit frequency follows the receive frequency.
        frm.CheckBox1->setChecked(false);
        frm.CheckBox1->setEnabled(false);
    }
    int q[4];
    FStations->GetLinkQualities(stationName, channel, q[0], q[1], q[2], q[3]);
    QComboBox* const lq[4] = {frm.LQ1, frm.LQ2, frm.LQ3, frm.LQ4};
    for (int slot = 0; slot < 4; ++slot)
        InputFilter::ShowText(lq[slot], std::to_string(q[slot]) + "%");
    if (ShowModal(frm) != TChannelFrm::mrOk)
        return;
    FChannels->Modify(TChannel{BlanksToZeros(frm.TransmitFreq), BlanksToZeros(frm.ReceiveFreq),
                               FromQt(frm.SideBand->currentText())},
                      channel);
    int steps[4];
    ReadLinkQualities(frm, steps);
    FStations->SetLinkQualities(stationName, channel, steps[0], steps[1], steps[2], steps[3]);
    RefreshChannelList();
}

void TConfigFrm::ChannelsRemovebtnClick()
{
    if (RadioRefusesChannels())
        return;
    const int channel = ChannelListBox->currentRow();
    if (channel >= 0) {
        FChannels->Delete(channel);
        FStations->DeleteChannel(channel);
        // Also without a selected station: the removed line must go, and the
        // others keep their ticks.
        const QSignalBlocker block(ChannelListBox);
        delete ChannelListBox->takeItem(channel);
    }
    RefreshChannelList();
}

// Scheduled Link tab.

QString TConfigFrm::GridText(int column, int row) const
{
    const QTableWidgetItem* item = ScheduledStringGrid->item(row - 1, column);
    return item ? item->text() : QString();
}

bool TConfigFrm::RowHasEmptyCell(int row) const
{
    for (int column = 1; column < kGridColumns; ++column)
        if (GridText(column, row).isEmpty())
            return true;
    return false;
}

void TConfigFrm::SetScheduledButtons(bool add, bool remove, bool edit)
{
    ScheduledLinkAddBtn->setEnabled(add);
    ScheduledLinkRemoveBtn->setEnabled(remove);
    ScheduledLinkEditBtn->setEnabled(edit);
}

void TConfigFrm::FillScheduledLinkGrid()
{
    const auto stations = FStations->GetAll();
    std::vector<std::string> names;
    for (size_t i = 1; i < stations.size(); ++i)
        if (IsDirectRoute(stations[i].RouteVia))
            names.push_back(stations[i].Name);
    std::vector<std::vector<std::string>> times(names.size());
    for (const TScheduledLink& link : FScheduledLinks->GetAll())
        for (size_t n = 0; n < names.size(); ++n)
            if (UpperCase(names[n]) == UpperCase(link.StationName))
                times[n].push_back(DateTime::FormatTimeOfDay(link.Time));

    const QSignalBlocker block(ScheduledStringGrid);
    ScheduledStringGrid->clearContents();
    ScheduledStringGrid->setRowCount(static_cast<int>(stations.size()) + 1);
    for (size_t n = 0; n < names.size(); ++n) {
        const int row = static_cast<int>(n);
        auto* name = new QTableWidgetItem(ToQt(names[n]));
        name->setFlags(Qt::ItemIsEnabled);
        ScheduledStringGrid->setItem(row, 0, name);
        for (size_t t = 0; t < times[n].size() && t + 1 < kGridColumns; ++t)
            ScheduledStringGrid->setItem(row, static_cast<int>(t) + 1,
                                         new QTableWidgetItem(ToQt(times[n][t])));
    }
    ScheduledStringGrid->setColumnWidth(0, 90);
    // The selection stays on its cell, but a refill moves stations and times
    // between cells: the buttons act on what the cell shows now, never on a
    // station or link it showed before.
    FSelectedStation = FromQt(GridText(0, FSelectedRow));
    if (FSelectedStation.empty())
        SetScheduledButtons(false, false, false);
    else {
        ScheduledLinkAddBtn->setEnabled(RowHasEmptyCell(FSelectedRow));
        if (FromQt(GridText(FSelectedColumn, FSelectedRow)) != FSelectedTime) {
            ScheduledLinkRemoveBtn->setEnabled(false);
            ScheduledLinkEditBtn->setEnabled(false);
        }
    }
}

bool TConfigFrm::ScheduledStringGridSelectCell(int column, int row)
{
    FSelectedColumn = column;
    FSelectedRow = row;
    FSelectedStation = FromQt(GridText(0, row));
    if (FSelectedStation.empty()) {
        SetScheduledButtons(false, false, false);
        return false;
    }
    const QString cell = GridText(column, row);
    if (cell.isEmpty())
        SetScheduledButtons(true, false, false);
    else {
        SetScheduledButtons(RowHasEmptyCell(row), true, true);
        FSelectedTime = FromQt(cell);
    }
    return true;
}

bool TConfigFrm::AskScheduledTime(const char* caption, const std::string& station, TDateTime& time,
                                  const std::string& keep)
{
    TScheduledFrm frm(this);
    frm.setWindowTitle(caption);
    frm.StationName->setText(ToQt(station));
    if (!keep.empty())
        frm.SetTime(time);
    if (ShowModal(frm) != TScheduledFrm::mrOk)
        return false;
    const std::optional<TDateTime> picked = frm.Time();
    if (!picked)
        return false;
    const std::string text = DateTime::FormatTimeOfDay(*picked);
    if (text != keep && !FScheduledLinks->Find(station, text).StationName.empty()) {
        Refuse("A link to " + station + " is already scheduled at " + text + ".",
               "Scheduled Link Error");
        return false;
    }
    time = *picked;
    return true;
}

void TConfigFrm::ScheduledLinkAddBtnClick()
{
    TDateTime time = 0;
    if (!AskScheduledTime("Add Scheduled Link", FSelectedStation, time, std::string()))
        return;
    FScheduledLinks->Add(TScheduledLink{FSelectedStation, time});
    FillScheduledLinkGrid();
}

void TConfigFrm::ScheduledLinkRemoveBtnClick()
{
    FScheduledLinks->Delete(FSelectedStation, FSelectedTime);
    if (QTableWidgetItem* item = ScheduledStringGrid->item(FSelectedRow - 1, FSelectedColumn))
        item->setText("");
    SetScheduledButtons(true, false, false);
    FillScheduledLinkGrid();
}

void TConfigFrm::ScheduledLinkEditBtnClick()
{
    const TScheduledLink link = FScheduledLinks->Find(FSelectedStation, FSelectedTime);
    if (link.StationName.empty()) {
        Refuse("Error Retrieving Link Information", "Scheduled Link Error");
        return;
    }
    TDateTime time = link.Time;
    if (!AskScheduledTime("Edit Scheduled Link", link.StationName, time, FSelectedTime))
        return;
    FScheduledLinks->Modify(FSelectedStation, FSelectedTime,
                            TScheduledLink{link.StationName, time});
    FSelectedTime = DateTime::FormatTimeOfDay(time);
    FillScheduledLinkGrid();
    // The selection follows the edited link to its cell.
    for (int column = 1; column < kGridColumns; ++column) {
        if (FromQt(GridText(column, FSelectedRow)) == FSelectedTime) {
            FSelectedColumn = column;
            const QSignalBlocker block(ScheduledStringGrid);
            ScheduledStringGrid->setCurrentCell(FSelectedRow - 1, column);
            SetScheduledButtons(RowHasEmptyCell(FSelectedRow), true, true);
            break;
        }
    }
}
