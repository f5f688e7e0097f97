#include "core/about_form.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/config.h"
#include "core/jpeg_picture.h"
#include "platform/shell.h"
#include "platform/text.h"

TAboutForm::TAboutForm(QWidget* owner, TConfig* config) : QDialog(owner)
{
    setWindowTitle("About SkipMail");
    setObjectName("AboutForm");
    auto* layout = new QVBoxLayout(this);
    Picture = NewStationPictureLabel(this);
    layout->addWidget(Picture);
    VersionLabel = new QLabel(ToQt("SkipMail Version " + Shell::ProgramVersion()), this);
    VersionLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(VersionLabel);
    std::string modem;
    if (config) {
        auto add = [&modem](const char* what, const std::string& value) {
            if (value.empty())
                return;
            if (!modem.empty())
                modem += "\n";
            modem += std::string(what) + value;
        };
        add("Modem DSP firmware: ", config->DspVersion);
        add("Modem processor firmware: ", config->CpuVersion);
        add("Modem waveform: ", config->WaveformVariant);
    }
    ModemLabel = new QLabel(ToQt(modem), this);
    ModemLabel->setAlignment(Qt::AlignCenter);
    ModemLabel->setVisible(!modem.empty());
    layout->addWidget(ModemLabel);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { done(1); });
    layout->addWidget(buttons);
}
