#include "configui/channel_frm.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "configui/form_controls.h"
#include "configui/input_filters.h"
#include "platform/dialogs.h"
#include "platform/text.h"

namespace {

struct TBestTime {
    const char* word;
    const char* quality[4];
};

// The best-time words and their link qualities. The rows after the first are
// matched in this order; four qualities that match none read as "ANYTIME".
constexpr TBestTime kBestTimes[] = {
    {"ANYTIME", {"80%", "80%", "80%", "80%"}},   {"0000-0559", {"80%", "20%", "20%", "20%"}},
    {"0600-1159", {"20%", "80%", "20%", "20%"}}, {"1200-1759", {"20%", "20%", "80%", "20%"}},
    {"1800-2359", {"20%", "20%", "20%", "80%"}}, {"ALL DAY", {"20%", "80%", "80%", "20%"}},
    {"ALL NIGHT", {"80%", "20%", "20%", "80%"}},
};

constexpr const char* kWordOrder[] = {"ANYTIME",   "ALL DAY",   "ALL NIGHT", "0000-0559",
                                      "0600-1159", "1200-1759", "1800-2359"};

// The frequencies a channel may have, in Hz.
constexpr long kLowestHz = 1600000;
constexpr long kHighestHz = 30000000;

QLineEdit* FrequencyBox(QWidget* parent, const char* name, int maxLength, bool right)
{
    auto* box = FormControls::Edit(parent, name, nullptr, maxLength);
    if (right)
        box->setAlignment(Qt::AlignRight);
    InputFilter::Install(box, InputFilter::Digit, false);
    return box;
}

// A white sunken frame around the two boxes of one frequency.
QFrame* Frame(QWidget* parent, const char* name)
{
    auto* frame = new QFrame(parent);
    frame->setObjectName(name);
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    return frame;
}

// Hz of a nine-character frequency text: blanks count as "0".
long FrequencyHz(const std::string& text)
{
    long hz = 0;
    for (char c : text) {
        if (c == '.')
            continue;
        hz = hz * 10 + (c >= '0' && c <= '9' ? c - '0' : 0);
    }
    return hz;
}

} // namespace

TChannelFrm::TChannelFrm(QWidget* owner) : TEditDialog(owner)
{
    setObjectName("ChannelFrm");
    setWindowTitle("Channel Information");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);

    layout->addWidget(FormControls::Label(this, "Label3", "Channel Frequency"));
    auto* freqForm = new QFormLayout;
    auto frequencyRow = [&](const char* caption, QFrame*& outer, const char* outerName,
                            QFrame*& inner, const char* innerName, QLineEdit*& kHz,
                            const char* kHzName, QLineEdit*& fraction, const char* fractionName) {
        outer = Frame(this, outerName);
        auto* outerLayout = new QHBoxLayout(outer);
        outerLayout->setContentsMargins(2, 2, 2, 2);
        inner = Frame(outer, innerName);
        auto* innerLayout = new QHBoxLayout(inner);
        innerLayout->setContentsMargins(0, 0, 0, 0);
        kHz = FrequencyBox(inner, kHzName, 5, true);
        fraction = FrequencyBox(inner, fractionName, 3, false);
        const QFontMetrics metrics(kHz->font());
        kHz->setFixedWidth(metrics.horizontalAdvance("000000") + 12);
        fraction->setFixedWidth(metrics.horizontalAdvance("0000") + 12);
        fraction->setText("000");
        innerLayout->addWidget(kHz);
        innerLayout->addWidget(new QLabel(".", inner));
        innerLayout->addWidget(fraction);
        innerLayout->addStretch();
        outerLayout->addWidget(inner);
        freqForm->addRow(caption, outer);
        for (QLineEdit* box : {kHz, fraction})
            box->installEventFilter(this);
    };
    frequencyRow("Receive:", Panel2, "Panel2", Panel4, "Panel4", RX1, "RX1", RX2, "RX2");
    frequencyRow("Transmit:", Panel1, "Panel1", Panel3, "Panel3", TX1, "TX1", TX2, "TX2");
    for (QWidget* w : {static_cast<QWidget*>(TX1), static_cast<QWidget*>(TX2),
                       static_cast<QWidget*>(Panel1), static_cast<QWidget*>(Panel3)})
        w->setEnabled(false);
    CheckBox1 = FormControls::Check(this, "CheckBox1", "Use Split Freq", nullptr);
    freqForm->addRow("", CheckBox1);
    SideBand = new QComboBox(this);
    SideBand->setObjectName("SideBand");
    SideBand->addItems({"USB", "LSB"});
    SideBand->setToolTip("Enter Side-Band USB (Upper) LSB (Lower)");
    InputFilter::MakePickOnly(SideBand);
    freqForm->addRow("Side Band:", SideBand);
    layout->addLayout(freqForm);

    layout->addWidget(new QLabel("Channel Usage", this));
    auto* usage = new QFormLayout;
    BestTimeCombo = new QComboBox(this);
    BestTimeCombo->setObjectName("BestTimeCombo");
    for (const char* word : kWordOrder)
        BestTimeCombo->addItem(word);
    InputFilter::MakePickOnly(BestTimeCombo);
    usage->addRow("Best Time:", BestTimeCombo);
    layout->addLayout(usage);

    // The four link qualities stay hidden: the best time sets them.
    QComboBox** lq[4] = {&LQ1, &LQ2, &LQ3, &LQ4};
    for (int slot = 0; slot < 4; ++slot) {
        auto* box = new QComboBox(this);
        box->setObjectName(QString("LQ%1").arg(slot + 1));
        for (int percent = 5; percent <= 100; percent += 5)
            box->addItem(QString("%1%").arg(percent));
        box->setCurrentText("80%");
        box->setToolTip("Enter a Link Quality Percentage 10% (Poor) to 100% (Best)");
        InputFilter::MakePickOnly(box);
        box->hide();
        *lq[slot] = box;
    }

    AddButtons(layout, OKBtn, CancelBtn);
    OKBtn->setObjectName("OKBtn");
    CancelBtn->setObjectName("CancelBtn");
    connect(OKBtn, &QPushButton::clicked, this, &TChannelFrm::OKBtnClick);
    connect(CheckBox1, &QCheckBox::toggled, this, &TChannelFrm::CheckBox1Click);
    connect(BestTimeCombo, &QComboBox::currentTextChanged, this, &TChannelFrm::BestTimeComboChange);
    for (QLineEdit* box : {RX1, RX2})
        connect(box, &QLineEdit::textChanged, this, &TChannelFrm::RX1Change);
    for (QLineEdit* box : {TX1, TX2})
        connect(box, &QLineEdit::textChanged, this, &TChannelFrm::TX1Change);
    RX1Change();
}

std::string TChannelFrm::BestTimeWord(const std::string (&quality)[4])
{
    for (const TBestTime& row : kBestTimes) {
        if (row.word == std::string("ANYTIME"))
            continue;
        if (std::equal(std::begin(quality), std::end(quality), std::begin(row.quality)))
            return row.word;
    }
    return "ANYTIME";
}

std::string TChannelFrm::AssembleFrequency(QLineEdit* kHz, QLineEdit* fraction, bool pad)
{
    std::string f = FromQt(fraction->text());
    if (f.empty())
        f = "000";
    else if (f.size() < 3) {
        f.append(3 - f.size(), '0');
        if (pad)
            fraction->setText(ToQt(f));
    }
    std::string k = FromQt(kHz->text());
    if (k.size() < 5)
        k.insert(0, 5 - k.size(), ' ');
    return k + "." + f;
}

QComboBox* TChannelFrm::LQ(int slot) const
{
    QComboBox* const boxes[4] = {LQ1, LQ2, LQ3, LQ4};
    return boxes[slot];
}

void TChannelFrm::showEvent(QShowEvent* event)
{
    TEditDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TChannelFrm::FormShow()
{
    std::string quality[4];
    for (int slot = 0; slot < 4; ++slot)
        quality[slot] = FromQt(LQ(slot)->currentText());
    // Showing the word sets no qualities: they stay until a word is picked.
    const QSignalBlocker block(BestTimeCombo);
    InputFilter::ShowText(BestTimeCombo, BestTimeWord(quality));
}

void TChannelFrm::BestTimeComboChange()
{
    const std::string word = FromQt(BestTimeCombo->currentText());
    for (const TBestTime& row : kBestTimes) {
        if (word == row.word) {
            for (int slot = 0; slot < 4; ++slot)
                InputFilter::ShowText(LQ(slot), row.quality[slot]);
            return;
        }
    }
}

void TChannelFrm::CheckBox1Click()
{
    const bool split = CheckBox1->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(TX1), static_cast<QWidget*>(TX2),
                       static_cast<QWidget*>(Panel1), static_cast<QWidget*>(Panel3)})
        w->setEnabled(split);
    if (!split) {
        TX1->setText(RX1->text());
        TX2->setText(RX2->text());
    }
}

void TChannelFrm::TX1Enter()
{
    if (!TX1->text().isEmpty())
        return;
    TX1->setText(RX1->text());
    TX2->setText(RX2->text());
}

void TChannelFrm::RX1Change()
{
    if (!CheckBox1->isChecked()) {
        TX1->setText(RX1->text());
        TX2->setText(RX2->text());
    }
    ReceiveFreq = AssembleFrequency(RX1, RX2, false);
}

void TChannelFrm::TX1Change()
{
    TransmitFreq = AssembleFrequency(TX1, TX2, false);
}

bool TChannelFrm::eventFilter(QObject* watched, QEvent* event)
{
    auto* box = qobject_cast<QLineEdit*>(watched);
    if (box && (box == RX1 || box == RX2 || box == TX1 || box == TX2)) {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)
            return FrequencyKey(box, static_cast<QKeyEvent*>(event),
                                event->type() == QEvent::KeyPress);
        if (event->type() == QEvent::FocusIn && box == TX1)
            TX1Enter();
    }
    return TEditDialog::eventFilter(watched, event);
}

bool TChannelFrm::FrequencyKey(QLineEdit* box, QKeyEvent* key, bool press)
{
    const bool whole = box == RX1 || box == TX1;
    QLineEdit* const partner = box == RX1 ? RX2 : box == RX2 ? RX1 : box == TX1 ? TX2 : TX1;
    auto moveTo = [](QLineEdit* target, int position) {
        target->setFocus();
        target->setCursorPosition(position);
    };
    if (!press) {
        if (whole && key->key() == Qt::Key_Right && box->cursorPosition() == box->text().size())
            moveTo(partner, 0);
        else if (!whole && key->key() == Qt::Key_Left && box->cursorPosition() == 0)
            moveTo(partner, partner->text().size());
        return false;
    }
    const QString text = key->text();
    if (text.size() != 1 || !text[0].isPrint())
        return false;
    if (text == ".") {
        // The point is where the two boxes meet: it moves from the kHz box
        // to the decimals and is never typed into a box.
        if (whole)
            moveTo(partner, 0);
        return true;
    }
    if (!InputFilter::Digit(text[0].toLatin1()))
        return true;
    // A full box is typed over.
    if (box->text().size() >= box->maxLength() && !box->hasSelectedText())
        box->del();
    return false;
}

void TChannelFrm::OKBtnClick()
{
    // Without a split the transmit frequency is the receive frequency,
    // whatever the transmit boxes were given.
    if (!CheckBox1->isChecked()) {
        TX1->setText(RX1->text());
        TX2->setText(RX2->text());
    }
    ReceiveFreq = AssembleFrequency(RX1, RX2, true);
    TransmitFreq = AssembleFrequency(TX1, TX2, true);
    auto inRange = [](const std::string& freq) {
        const long hz = FrequencyHz(freq);
        return hz >= kLowestHz && hz <= kHighestHz;
    };
    if (!inRange(TransmitFreq)) {
        ShowMessageBox("Please, enter a valid transmit frequency (1600.000 - 30000.000 kHz).",
                       "Transmit Frequency Error", MB_OK, TMsgIcon::Warning);
        return;
    }
    if (!inRange(ReceiveFreq)) {
        ShowMessageBox("Please, enter a valid receive frequency (1600.000 - 30000.000 kHz).",
                       "Receive Frequency Error", MB_OK, TMsgIcon::Warning);
        return;
    }
    done(mrOk);
}
