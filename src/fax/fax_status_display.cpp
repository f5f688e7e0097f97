#include "fax/fax_status_display.h"

#include "fax/fax_components.h"
#include "fax/fax_meter.h"
#include "platform/text.h"
#include "serial/ad_misc.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <cmath>
#include <cstdio>

namespace {

// The file name without its folder, long names cut to 20 characters.
std::string ShortName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.size() > 20 ? name.substr(0, 20) + "..." : name;
}

void Put(QLabel* label, const std::string& text)
{
    label->setText(ToQt(text));
}

} // namespace

std::string FaxElapsedText(uint32_t seconds)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%6s",
                  (std::to_string(seconds / 60) + ":" + (seconds % 60 < 10 ? "0" : "") +
                   std::to_string(seconds % 60))
                      .c_str());
    return buf;
}

// ---------------------------------------------------------------- abstract display

TApdAbstractFaxStatus::TApdAbstractFaxStatus(QObject* owner) : TApdBaseComponent(owner)
{
    if (owner)
        for (auto* fax : owner->findChildren<TApdCustomAbstractFax*>(Qt::FindDirectChildrenOnly))
            if (!fax->StatusDisplay()) {
                fax->SetStatusDisplay(this);
                break;
            }
}

TApdAbstractFaxStatus::~TApdAbstractFaxStatus() = default;

void TApdAbstractFaxStatus::SetPosition(TPosition value)
{
    Position_ = value;
    ApplyProperties();
}

bool TApdAbstractFaxStatus::Visible() const
{
    return Display_ && Display_->isVisible();
}

void TApdAbstractFaxStatus::SetVisible(bool value)
{
    if (Display_)
        Display_->setVisible(value);
}

void TApdAbstractFaxStatus::SetCaption(const std::string& value)
{
    Caption_ = value;
    ApplyProperties();
}

void TApdAbstractFaxStatus::ApplyProperties()
{
    if (!Display_)
        return;
    Display_->setWindowTitle(ToQt(Caption_));
    if (Position_ == TPosition::poScreenCenter)
        if (QScreen* screen = QGuiApplication::primaryScreen())
            Display_->move(screen->availableGeometry().center() - Display_->rect().center());
}

// ---------------------------------------------------------------- standard form

TStandardFaxDisplay::TStandardFaxDisplay(QWidget* parent) : QWidget(parent, Qt::Window)
{
    auto* grid = new QGridLayout(this);
    int row = 0;
    const auto add = [&](const char* caption, const char* name, int column) {
        auto* label = new QLabel(QString::fromLatin1(caption), this);
        auto* value = new QLabel(this);
        value->setObjectName(QString::fromLatin1(name));
        grid->addWidget(label, row, column * 2);
        grid->addWidget(value, row, column * 2 + 1);
        return std::pair{label, value};
    };
    fsPhoneNumber = add("Phone number:", "fsPhoneNumber", 0).second;
    fsRemoteID = add("Remote ID:", "fsRemoteID", 1).second;
    ++row;
    std::tie(fsLabel2, fsFaxFileName) = add("Fax file name:", "fsFaxFileName", 0);
    fsConnectBPS = add("Connect BPS:", "fsConnectBPS", 1).second;
    ++row;
    std::tie(fsLabel3, fsCoverFileName) = add("Cover file name:", "fsCoverFileName", 0);
    fsResolution = add("Resolution:", "fsResolution", 1).second;
    ++row;
    fsTotalPages = add("Total pages:", "fsTotalPages", 0).second;
    fsWidth = add("Width:", "fsWidth", 1).second;
    ++row;
    fsDialAttempt = add("Dial attempt:", "fsDialAttempt", 0).second;
    fsErrorControl = add("Error control:", "fsErrorControl", 1).second;
    ++row;
    fsCurrentPage = add("Current page:", "fsCurrentPage", 0).second;
    fsBytesTransferred = add("Bytes transferred:", "fsBytesTransferred", 1).second;
    ++row;
    fsPageLength = add("Page length:", "fsPageLength", 0).second;
    fsElapsedTime = add("Elapsed time:", "fsElapsedTime", 1).second;
    ++row;
    fsStatusMsg = add("Status:", "fsStatusMsg", 0).second;
    ++row;
    fsMeterLabel = new QLabel(QStringLiteral("Page progress:"), this);
    grid->addWidget(fsMeterLabel, row, 0);
    fsMeter = new TApdMeter(this);
    fsMeter->setMinimumSize(406, 20);
    fsMeter->SetStep(10);
    grid->addWidget(fsMeter, row, 1, 1, 3);
    ++row;
    fsCancel = new QPushButton(QStringLiteral("Cancel"), this);
    grid->addWidget(fsCancel, row, 3);
    connect(fsCancel, &QPushButton::clicked, this, [this] {
        if (Fax)
            Fax->CancelFax();
    });
}

void TStandardFaxDisplay::UpdateValues()
{
    if (!Fax)
        return;
    using namespace FaxStatus;
    const uint16_t status = Fax->FaxProgress();
    if (status == fpGotRemoteID || status == fpSessionParams) {
        if (!Timing_)
            TimerStart_ = AdTimeGetTime();
        Timing_ = true;
    } else if (status == fpFinished || status == fpCancel || status == fpGotHangup) {
        Timing_ = false;
    }
    if (status == fpBusyWait && LastStatus_ != fpBusyWait) {
        RetryWaiting_ = true;
        RetryStart_ = AdTimeGetTime();
    } else if (status != fpBusyWait) {
        RetryWaiting_ = false;
    }
    LastStatus_ = status;

    auto* sender = qobject_cast<TApdCustomSendFax*>(Fax);
    if (sender) {
        Put(fsPhoneNumber, sender->PhoneNumber);
        Put(fsFaxFileName, ShortName(sender->GetFaxFile()));
        Put(fsCoverFileName, ShortName(sender->CoverFile));
        Put(fsDialAttempt, std::to_string(sender->DialAttempt()));
    } else {
        Put(fsPhoneNumber, "");
        Put(fsFaxFileName, ShortName(Fax->GetFaxFile()));
        Put(fsCoverFileName, "");
        Put(fsDialAttempt, "1");
    }
    Put(fsTotalPages, std::to_string(Fax->TotalPages()));
    Put(fsRemoteID, Fax->RemoteID());
    Put(fsConnectBPS, std::to_string(Fax->SessionBPS()));
    Put(fsResolution, Fax->SessionResolution() ? "high" : "standard");
    Put(fsWidth, Fax->SessionWidth() ? "2048" : "1728");
    Put(fsErrorControl, Fax->SessionECM() ? "on" : "off");
    const int32_t page = Fax->CurrentPage();
    Put(fsCurrentPage, page == 0 ? "<cover page>" : std::to_string(page));
    const int32_t length = Fax->PageLength();
    const int32_t bytes = Fax->BytesTransferred();
    Put(fsPageLength, std::to_string(length));
    Put(fsBytesTransferred, std::to_string(bytes));
    Put(fsElapsedTime, Timing_ ? FaxElapsedText((AdTimeGetTime() - TimerStart_) / 1000) : "00:00");
    std::string text = Fax->StatusMsg(status);
    if (RetryWaiting_ && sender) {
        const uint32_t waited = (AdTimeGetTime() - RetryStart_) / 1000;
        const uint32_t wait = sender->DialRetryWait();
        text += " " + FaxElapsedText(wait > waited ? wait - waited : 0);
    }
    Put(fsStatusMsg, text);
    if (sender) {
        fsMeter->setVisible(true);
        fsMeterLabel->setText(QStringLiteral("Page progress:"));
        fsMeter->SetPosition(length == 0 ? 0
                                         : static_cast<int>(std::lround(100.0 * bytes / length)));
    } else {
        fsMeter->setVisible(false);
        fsMeterLabel->setText(QStringLiteral("Page progress: N/A"));
    }
}

// ---------------------------------------------------------------- component

TApdFaxStatus::TApdFaxStatus(QObject* owner) : TApdAbstractFaxStatus(owner)
{
    CreateDisplay();
}

TApdFaxStatus::~TApdFaxStatus()
{
    DestroyDisplay();
}

TStandardFaxDisplay* TApdFaxStatus::Form() const
{
    return static_cast<TStandardFaxDisplay*>(Display_.data());
}

void TApdFaxStatus::CreateDisplay()
{
    auto* form = new TStandardFaxDisplay();
    form->Fax = Fax();
    Display_ = form;
    ApplyProperties();
}

void TApdFaxStatus::DestroyDisplay()
{
    delete Display_.data();
}

void TApdFaxStatus::UpdateDisplay(bool first, bool last)
{
    TStandardFaxDisplay* form = Form();
    if (!form)
        return;
    if (first) {
        form->Fax = Fax();
        ApplyProperties();
        form->show();
    }
    if (!last)
        form->UpdateValues();
    else
        form->hide();
}

TApdCustomAbstractFax* TApdAbstractFaxStatus::Fax() const
{
    return Fax_;
}

void TApdAbstractFaxStatus::SetFax(TApdCustomAbstractFax* value)
{
    Fax_ = value;
}
