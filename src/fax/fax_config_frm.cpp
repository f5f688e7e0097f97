#include "fax/fax_config_frm.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "configui/form_controls.h"
#include "configui/input_filters.h"

namespace {

QComboBox* Combo(QWidget* parent, const char* name, const QStringList& items, const char* hint)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->addItems(items);
    box->setToolTip(hint);
    return box;
}

QStringList Numbers(int from, int to, int step)
{
    QStringList items;
    for (int n = from; n <= to; n += step)
        items << QString::number(n);
    return items;
}

// The box followed by its unit ("minutes", "rings").
QWidget* WithUnit(QWidget* parent, QComboBox* box, const char* unit)
{
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    box->setParent(row);
    layout->addWidget(box);
    layout->addWidget(new QLabel(unit, row));
    layout->addStretch();
    return row;
}

} // namespace

TFaxConfigFrm::TFaxConfigFrm(QWidget* owner) : QDialog(owner)
{
    setObjectName("FaxConfigFrm");
    setWindowTitle("Configuration");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    layout->addWidget(PageControl1);

    TabSheet2 = new QWidget(PageControl1);
    TabSheet2->setObjectName("TabSheet2");
    auto* modemPage = new QVBoxLayout(TabSheet2);
    auto* settings = new QGroupBox("Settings", TabSheet2);
    auto* modemForm = new QFormLayout(settings);
    QStringList ports;
    for (int n = 1; n <= 9; ++n)
        ports << "COM" + QString::number(n);
    ComPort =
        Combo(settings, "ComPort", ports, "Select the serial port the FAX/Data modem is connected");
    ComPort->setEditable(true);
    ComPort->setInsertPolicy(QComboBox::NoInsert);
    InitString = FormControls::Edit(
        settings, "InitString", "Enter initialization string for FAX/Data modem (typically blank)");
    DialPrefix = FormControls::Edit(settings, "DialPrefix", "Enter the the dial prefix required");
    Retry = Combo(settings, "Retry", Numbers(1, 10, 1),
                  "Select the number of attampts to call fax machine");
    RetryDelay = Combo(settings, "RetryDelay", Numbers(5, 60, 5),
                       "Select the number of minutes to wait between call retry attempts");
    DialTone = Combo(settings, "DialTone", {"Tone", "Pulse"}, "Select Tone or Pulse Dialing");
    DialTone->setEditable(true);
    DialTone->setInsertPolicy(QComboBox::NoInsert);
    modemForm->addRow("Port:", ComPort);
    modemForm->addRow("Init String:", InitString);
    modemForm->addRow("Dial Prefix:", DialPrefix);
    modemForm->addRow("Retry Attempts:", Retry);
    modemForm->addRow("Delay:", WithUnit(settings, RetryDelay, "minutes"));
    modemForm->addRow("Dial:", DialTone);
    modemPage->addWidget(settings);
    modemPage->addStretch();

    TabSheet3 = new QWidget(PageControl1);
    TabSheet3->setObjectName("TabSheet3");
    auto* receivePage = new QVBoxLayout(TabSheet3);
    auto* receive = new QGroupBox("Receive", TabSheet3);
    auto* receiveForm = new QFormLayout(receive);
    ReceiveEnabled =
        FormControls::Check(receive, "ReceiveEnabled", "Enable Receive", "Enable Fax receive");
    NumberOfRings = Combo(receive, "NumberOfRings", Numbers(1, 5, 1),
                          "Select the number of rings to wait until answering the phone");
    PrintEnabled =
        FormControls::Check(receive, "PrintEnabled", "Send to Default Printer",
                            "Allow the received FAX messages to be sent to the default printer");
    ForwardEnabled = FormControls::Check(receive, "ForwardEnabled", "Forward Fax",
                                         "Allow forwarding of the mail to an email address");
    ForwardAddress = FormControls::Edit(receive, "ForwardAddress",
                                        "Email address of the user to receive fax messages");
    receiveForm->addRow(ReceiveEnabled);
    receiveForm->addRow("Answer after:", WithUnit(receive, NumberOfRings, "rings"));
    receiveForm->addRow(PrintEnabled);
    receiveForm->addRow(ForwardEnabled);
    receiveForm->addRow("Mail Address:", ForwardAddress);
    receivePage->addWidget(receive);
    receivePage->addStretch();

    PageControl1->addTab(TabSheet2, "Fax Modem");
    PageControl1->addTab(TabSheet3, "Receive");
    PageControl1->setCurrentWidget(TabSheet3);

    // Typed keys never change these three.
    for (QComboBox* box : {Retry, RetryDelay, NumberOfRings})
        InputFilter::MakePickOnly(box);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    Button1 = FormControls::Button(this, "Button1", "&OK", nullptr);
    Button1->setDefault(true);
    buttons->addWidget(Button1);
    layout->addLayout(buttons);
    connect(Button1, &QPushButton::clicked, this, [this] { done(mrOk); });
}
