#include "link/windows/com_frm.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <charconv>
#include <string>

#include "link/windows/mouse_combo_box.h"
#include "platform/dialogs.h"
#include "platform/text.h"
#include "serial/ad_port.h"

namespace {

constexpr unsigned kLastPort = 254;

} // namespace

TComFrm::TComFrm(QWidget* owner, TProbe probe)
    : QDialog(owner), Label1(new QLabel("Which Serial Port?", this)),
      PortBox(new TMouseComboBox(this)), Button1(new QPushButton("&OK", this))
{
    setWindowTitle("Serial Port Setting");
    if (!probe)
        probe = IsPortAvailable;
    for (unsigned n = 1; n <= kLastPort; ++n)
        if (probe(n))
            PortBox->addItem(ToQt("COM" + std::to_string(n)));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(PortBox);
    layout->addWidget(Button1, 0, Qt::AlignHCenter);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    if (PortBox->count() > 0) {
        PortBox->setCurrentIndex(0);
        PortBoxChange();
    } else {
        Button1->setEnabled(false);
    }
    connect(PortBox, &QComboBox::currentIndexChanged, this, [this] { PortBoxChange(); });
}

void TComFrm::PortBoxChange()
{
    const std::string text = FromQt(PortBox->currentText());
    const std::string digits = text.size() > 3 ? text.substr(3) : std::string();
    int port = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
        ShowMessageBox("Error Setting ComPort", "Serial Port Setting", MB_OK, TMsgIcon::Error);
        return;
    }
    ComPort = port;
}
