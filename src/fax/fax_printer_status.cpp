#include "fax/fax_printer_status.h"

#include "core/text_util.h"
#include "platform/text.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

namespace {

const char* ProgressWord(TFaxPrintProgress p)
{
    static constexpr const char* kWords[] = {"Idle", "Composing", "Rendering", "Submitting",
                                             "Converting"};
    return kWords[static_cast<int>(p)];
}

} // namespace

TStandardFaxPrinterStatusDisplay::TStandardFaxPrinterStatusDisplay(QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    auto* grid = new QGridLayout(this);
    int row = 0;
    const auto add = [&](const char* caption, const char* name) {
        grid->addWidget(new QLabel(QString::fromLatin1(caption), this), row, 0);
        auto* value = new QLabel(this);
        value->setObjectName(QString::fromLatin1(name));
        grid->addWidget(value, row++, 1);
        return value;
    };
    fpsFileName = add("File name:", "fpsFileName");
    fpsTotalPages = add("Total pages:", "fpsTotalPages");
    fpsResolution = add("Resolution:", "fpsResolution");
    fpsWidth = add("Width:", "fpsWidth");
    fpsFirstPage = add("First page:", "fpsFirstPage");
    fpsLastPage = add("Last page:", "fpsLastPage");
    fpsStatus = add("Status:", "fpsStatus");
    fpsAbortButton = new QPushButton(QStringLiteral("Abort"), this);
    grid->addWidget(fpsAbortButton, row, 1);
    connect(fpsAbortButton, &QPushButton::clicked, this, [this] {
        if (FaxPrinter)
            FaxPrinter->PrintAbort();
    });
}

void TStandardFaxPrinterStatusDisplay::UpdateValues()
{
    if (!FaxPrinter)
        return;
    const std::string path = FaxPrinter->FileName();
    const std::string name = UpperCase(path.substr(path.find_last_of('/') + 1));
    fpsFileName->setText(ToQt(name));
    fpsTotalPages->setText(QString::number(FaxPrinter->TotalPages()));
    fpsResolution->setText(FaxPrinter->FaxResolution() ? QStringLiteral("high")
                                                       : QStringLiteral("standard"));
    fpsWidth->setText(FaxPrinter->FaxWidth() ? QStringLiteral("2048") : QStringLiteral("1728"));
    fpsFirstPage->setText(QString::number(FaxPrinter->FirstPage));
    fpsLastPage->setText(QString::number(FaxPrinter->LastPage));
    fpsStatus->setText(QString::asprintf("%s %u of %u", ProgressWord(FaxPrinter->PrintProgress()),
                                         FaxPrinter->CurrentPage(), FaxPrinter->LastPage));
}

TApdFaxPrinterStatus::TApdFaxPrinterStatus(QObject* owner) : TApdAbstractFaxPrinterStatus(owner)
{
    CreateDisplay();
}

TApdFaxPrinterStatus::~TApdFaxPrinterStatus()
{
    DestroyDisplay();
}

TStandardFaxPrinterStatusDisplay* TApdFaxPrinterStatus::Form() const
{
    return static_cast<TStandardFaxPrinterStatusDisplay*>(Display_.data());
}

void TApdFaxPrinterStatus::CreateDisplay()
{
    auto* form = new TStandardFaxPrinterStatusDisplay();
    form->setWindowTitle(ToQt(Caption()));
    Display_ = form;
}

void TApdFaxPrinterStatus::DestroyDisplay()
{
    delete Display_.data();
}

void TApdFaxPrinterStatus::UpdateDisplay(bool first, bool last)
{
    TStandardFaxPrinterStatusDisplay* form = Form();
    if (!form)
        return;
    if (first) {
        form->FaxPrinter = FaxPrinter();
        form->setWindowTitle(ToQt(Caption()));
        form->adjustSize();
        PlaceDisplay();
        form->show();
    }
    if (!last)
        form->UpdateValues();
    else
        form->hide();
}
