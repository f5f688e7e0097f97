#include "configui/alias_frm.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QShowEvent>
#include <QVBoxLayout>

#include "core/station_list.h"
#include "platform/dialogs.h"
#include "platform/text.h"

namespace {

constexpr const char* kExampleAddress = "john@example.com";
constexpr const char* kExampleHfAddress = "john@STATION1";

} // namespace

TAliasFrm::TAliasFrm(QWidget* owner, TStationList* stations)
    : TEditDialog(owner), FStations(stations)
{
    setObjectName("AliasFrm");
    setWindowTitle("Alias Information");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);

    layout->addWidget(new QLabel("Internet Email Address", this));
    auto* internet = new QFormLayout;
    Address = new QLineEdit(this);
    Address->setObjectName("Address");
    Address->setToolTip(kExampleAddress);
    internet->addRow("E-Mail:", Address);
    Label5 = new QLabel(kExampleAddress, this);
    Label5->setObjectName("Label5");
    internet->addRow("", Label5);
    layout->addLayout(internet);

    layout->addWidget(new QLabel("HF Station Email Address", this));
    auto* hf = new QGridLayout;
    User = new QLineEdit(this);
    User->setObjectName("User");
    User->setMaxLength(12);
    User->setToolTip("email user name");
    Label7 = new QLabel("@", this);
    Label7->setObjectName("Label7");
    StationBox = new QComboBox(this);
    StationBox->setObjectName("StationBox");
    StationBox->setEditable(true);
    StationBox->setInsertPolicy(QComboBox::NoInsert);
    StationBox->setToolTip("Station configured by the administrator");
    Label6 = new QLabel(kExampleHfAddress, this);
    Label6->setObjectName("Label6");
    hf->addWidget(new QLabel("User:", this), 0, 0);
    hf->addWidget(User, 0, 1);
    hf->addWidget(Label7, 0, 2);
    hf->addWidget(new QLabel("Station:", this), 0, 3);
    hf->addWidget(StationBox, 0, 4);
    hf->addWidget(Label6, 1, 4);
    layout->addLayout(hf);

    Alias = new QLineEdit(this);
    Alias->setObjectName("Alias");
    Alias->hide();

    AddButtons(layout, Button1, Button2);
    connect(Button1, &QPushButton::clicked, this, &TAliasFrm::Button1Click);
}

std::string TAliasFrm::FieldProblem(const std::string& text)
{
    for (unsigned char c : text) {
        if (c < 32 || c == 127 || c == ':')
            return "An alias cannot hold \":\" or control characters.";
    }
    return std::string();
}

void TAliasFrm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The window system's own show event (on mapping, on restoring from
    // minimised) is no new showing of the dialog.
    if (!event->spontaneous())
        FormShow();
}

void TAliasFrm::FormShow()
{
    // Adding the first item would replace the text a caller put in.
    const QString given = StationBox->currentText();
    if (FStations) {
        for (const TStation& s : FStations->GetAll()) {
            if (!s.Name.empty())
                StationBox->addItem(ToQt(s.Name));
        }
    }
    if (!given.isEmpty())
        StationBox->setCurrentText(given);
    else if (FStations)
        StationBox->setCurrentText(ToQt(FStations->Get(0).Name));
}

void TAliasFrm::Button1Click()
{
    auto refuse = [](const std::string& text, const char* title) {
        ShowMessageBox(text, title, MB_OK, TMsgIcon::Warning);
    };
    const std::string address = FromQt(Address->text());
    const std::string user = FromQt(User->text());
    const std::string station = FromQt(StationBox->currentText());
    if (address.empty()) {
        refuse("Please, enter an email address.", "Internet Address Error");
        return;
    }
    if (address.find('@') == std::string::npos) {
        refuse("Please, enter an valid email address.", "Internet Address Error");
        return;
    }
    if (std::string problem = FieldProblem(address); !problem.empty()) {
        refuse(problem + "\nPlease, enter an valid email address.", "Internet Address Error");
        return;
    }
    if (user.empty()) {
        refuse("Please, enter an HF Station user.", "HF Station Address Error");
        return;
    }
    if (std::string problem = FieldProblem(user + station); !problem.empty()) {
        refuse(problem + "\nPlease, enter an HF Station user and station.",
               "HF Station Address Error");
        return;
    }
    Alias->setText(ToQt(user + "@" + station));
    done(mrOk);
}
