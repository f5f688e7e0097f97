#include "fax/fax_job_info_dialog.h"

#include "platform/dialogs.h"
#include "platform/text.h"

#include <QDateTimeEdit>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QDateTime ToQDateTime(TDateTime value)
{
    int y, mo, d, h, mi, s, ms;
    DecodeDate(value, y, mo, d);
    DecodeTime(value, h, mi, s, ms);
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

TDateTime FromQDateTime(const QDateTime& value)
{
    TDateTime date = 0, time = 0;
    TryEncodeDate(value.date().year(), value.date().month(), value.date().day(), date);
    TryEncodeTime(value.time().hour(), value.time().minute(), value.time().second(),
                  value.time().msec(), time);
    return date + time;
}

QString Text(const char* const* texts, uint8_t status)
{
    return QString::fromLatin1(texts[std::min<uint8_t>(status, 2)]);
}

constexpr const char* kHeaderTexts[] = {"No jobs have been handled", "Some jobs have been handled",
                                        "All jobs have been handled"};
constexpr const char* kRecipientTexts[] = {
    "This job has not been handled", "This job is being handled", "This job has been handled"};

} // namespace

TApdFaxJobInfoDialog::TApdFaxJobInfoDialog(TApdFaxJobHandler* handler, QWidget* parent)
    : QDialog(parent), Handler_(handler)
{
    auto* top = new QVBoxLayout(this);
    auto* header = new QGroupBox(QStringLiteral(" Fax Job Information "), this);
    auto* hf = new QFormLayout(header);
    const auto label = [&](QFormLayout* form, const char* caption) {
        auto* l = new QLabel(this);
        form->addRow(QString::fromLatin1(caption), l);
        return l;
    };
    FileName = label(hf, "File name:");
    DateSubmitted = label(hf, "Date submitted:");
    HeaderStatus = label(hf, "Status:");
    Sender = label(hf, "Sender:");
    NumRecipients = label(hf, "Recipients:");
    NextRecipient = label(hf, "Next recipient:");
    NextDue = label(hf, "Next due:");
    top->addWidget(header);

    auto* recipient = new QGroupBox(QStringLiteral(" Fax Job Receiver Information "), this);
    auto* rf = new QFormLayout(recipient);
    const auto edit = [&](const char* caption, int maxLength) {
        auto* e = new QLineEdit(this);
        e->setMaxLength(maxLength);
        rf->addRow(QString::fromLatin1(caption), e);
        connect(e, &QLineEdit::textEdited, this, [this] { Changed_ = true; });
        return e;
    };
    RecipientStatus = label(rf, "Status:");
    PhoneNumber = edit("Phone number:", TFaxRecipientRec::kPhoneNumberLen);
    HeaderLine = edit("Header line:", TFaxRecipientRec::kHeaderLineLen);
    HeaderRecipient = edit("Header recipient:", TFaxRecipientRec::kHeaderRecipientLen);
    HeaderTitle = edit("Header title:", TFaxRecipientRec::kHeaderTitleLen);
    AttemptNum = label(rf, "Attempt number:");
    LastResult = label(rf, "Last result:");
    JobNumber = label(rf, "Job number:");
    Scheduled = new QDateTimeEdit(this);
    Scheduled->setDisplayFormat(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    rf->addRow(QStringLiteral("Scheduled:"), Scheduled);
    connect(Scheduled, &QDateTimeEdit::dateTimeChanged, this, [this] {
        if (!Filling_)
            Changed_ = true;
    });
    top->addWidget(recipient);

    auto* buttons = new QHBoxLayout;
    const auto button = [&](const char* caption) {
        auto* b = new QPushButton(QString::fromLatin1(caption), this);
        buttons->addWidget(b);
        return b;
    };
    btnPrev = button("< &Prev");
    btnNext = button("&Next >");
    btnReset = button("&Reset status");
    btnOK = button("OK");
    btnCancel = button("Cancel");
    btnApply = button("&Apply");
    top->addLayout(buttons);
    connect(btnPrev, &QPushButton::clicked, this, [this] { GoTo(Current_ - 1); });
    connect(btnNext, &QPushButton::clicked, this, [this] { GoTo(Current_ + 1); });
    connect(btnReset, &QPushButton::clicked, this, [this] { ResetStatus(); });
    connect(btnApply, &QPushButton::clicked, this, [this] { Apply(); });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnOK, &QPushButton::clicked, this, [this] {
        if (Changed_)
            Apply();
        accept();
    });
    btnOK->setDefault(true);
}

void TApdFaxJobInfoDialog::LoadJob(const std::string& jobFileName)
{
    JobFile_ = jobFileName;
    Job_ = TFaxJob::Load(jobFileName);
    Current_ = 0;
    ShowJob();
    ShowRecipient();
}

int TApdFaxJobInfoDialog::ShowDialog(const std::string& jobFileName, const std::string& dlgCaption)
{
    LoadJob(jobFileName);
    setWindowTitle(ToQt(dlgCaption));
    return ShowModal(*this);
}

void TApdFaxJobInfoDialog::ShowJob()
{
    const TFaxJobHeaderRec& h = Job_.Header;
    FileName->setText(ToQt(JobFile_));
    DateSubmitted->setText(
        QFileInfo(QString::fromStdString(JobFile_)).lastModified().toString(Qt::TextDate));
    HeaderStatus->setText(Text(kHeaderTexts, h.Status));
    Sender->setText(ToQt(h.Sender));
    NumRecipients->setText(QString::number(h.NumRecipients));
    NextRecipient->setText(QString::number(h.NextRecipient));
    NextDue->setText(ToQDateTime(h.SchedDT).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}

void TApdFaxJobInfoDialog::ShowRecipient()
{
    Filling_ = true;
    const TFaxRecipientRec& r = Job_.Recipients[static_cast<std::size_t>(Current_)];
    RecipientStatus->setText(Text(kRecipientTexts, r.Status));
    PhoneNumber->setText(ToQt(r.PhoneNumber));
    HeaderLine->setText(ToQt(r.HeaderLine));
    HeaderRecipient->setText(ToQt(r.HeaderRecipient));
    HeaderTitle->setText(ToQt(r.HeaderTitle));
    AttemptNum->setText(QString::number(r.AttemptNum));
    LastResult->setText(QString::number(r.LastResultCode()));
    JobNumber->setText(QString::number(r.JobID));
    Scheduled->setDateTime(ToQDateTime(r.SchedDT));
    btnPrev->setEnabled(Current_ > 0);
    btnNext->setEnabled(Current_ + 1 < static_cast<int>(Job_.Recipients.size()));
    Changed_ = false;
    Filling_ = false;
}

void TApdFaxJobInfoDialog::GoTo(int index)
{
    if (index < 0 || index >= static_cast<int>(Job_.Recipients.size()))
        return;
    if (Changed_ && ShowMessageBox("The data has changed.  Apply the changes?", "Fax Job", MB_YESNO,
                                   TMsgIcon::Question) == IDYES)
        Apply();
    Current_ = index;
    ShowRecipient();
}

void TApdFaxJobInfoDialog::Apply()
{
    // The file may have moved on since it was shown: the edits go into it
    // as it is now.
    TFaxJob job = TFaxJob::Load(JobFile_);
    TFaxRecipientRec& r = job.Recipient(static_cast<unsigned>(Current_));
    r.PhoneNumber = FromQt(PhoneNumber->text());
    r.HeaderLine = FromQt(HeaderLine->text());
    r.HeaderRecipient = FromQt(HeaderRecipient->text());
    r.HeaderTitle = FromQt(HeaderTitle->text());
    r.SchedDT = FromQDateTime(Scheduled->dateTime());
    job.RecomputeWaiting();
    job.Save(JobFile_);
    Job_ = job;
    ShowJob();
    ShowRecipient();
}

void TApdFaxJobInfoDialog::ResetStatus()
{
    Handler_->ResetRecipientStatus(JobFile_, Current_, kJobUnhandled);
    Job_ = TFaxJob::Load(JobFile_);
    const bool changed = Changed_;
    ShowJob();
    RecipientStatus->setText(
        Text(kRecipientTexts, Job_.Recipients[static_cast<std::size_t>(Current_)].Status));
    Changed_ = changed;
}

void TApdFaxJobInfoDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->modifiers() & Qt::AltModifier) {
        if (event->key() == Qt::Key_Left && btnPrev->isEnabled()) {
            btnPrev->click();
            return;
        }
        if (event->key() == Qt::Key_Right && btnNext->isEnabled()) {
            btnNext->click();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void TApdFaxJobHandler::ShowFaxJobInfoDialog(const std::string& jobFile,
                                             const std::string& dlgCaption)
{
    TApdFaxJobInfoDialog dialog(this);
    dialog.ShowDialog(jobFile, dlgCaption);
}
