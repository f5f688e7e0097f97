#include "link/windows/test_tone_frm.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "link/modem_frame.h"
#include "link/windows/mouse_combo_box.h"

namespace {

const QString kStart = "&Start Test";
const QString kStop = "&Stop Test";

} // namespace

TTestToneFrm::TTestToneFrm(QWidget* owner, std::function<void(uint8_t command)> sendCommand)
    : QDialog(owner), Label1(new QLabel("Select Tone Test:", this)),
      ToneBox(new TMouseComboBox(this)), Button2(new QPushButton(kStart, this)),
      Button1(new QPushButton("&OK", this)), FSend(std::move(sendCommand))
{
    setWindowTitle("Transmit Test Tones");
    ToneBox->addItems({"Single Tone Test", "Eight Tone Test"});
    ToneBox->setCurrentIndex(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Button2);
    buttons->addWidget(Button1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(ToneBox);
    layout->addLayout(buttons);
    Button1->setDefault(true);
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TTestToneFrm::Button2Click()
{
    using namespace ModemFrame;
    if (Button2->text() == kStart) {
        const int entry = ToneBox->currentIndex();
        FSend(entry == 0 ? kCmdSingleTone : entry == 1 ? kCmdEightTones : kCmdStopTones);
        Button2->setText(kStop);
    } else {
        FSend(kCmdStopTones);
        Button2->setText(kStart);
    }
}

void TTestToneFrm::Button1Click()
{
    FSend(ModemFrame::kCmdStopTones);
    accept();
}

void TTestToneFrm::reject()
{
    FSend(ModemFrame::kCmdStopTones);
    QDialog::reject();
}
