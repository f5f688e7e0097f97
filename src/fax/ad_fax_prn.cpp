#include "fax/ad_fax_prn.h"

#include "platform/atomic_file.h"
#include "platform/dialogs.h"
#include "platform/print_service.h"
#include "platform/text.h"
#include "serial/ad_except.h"

#include <QDate>
#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLocale>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QTime>
#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

std::string ShortDate()
{
    return FromQt(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
}

std::string LongTime()
{
    return FromQt(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));
}

// The text of the exception being handled.
std::string CurrentExceptionText()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// The first component of type T among the owner's, depth first.
template <class T> T* FindAmongOwned(QObject* owner)
{
    if (!owner)
        return nullptr;
    const auto found = owner->findChildren<T*>();
    return found.isEmpty() ? nullptr : found.first();
}

} // namespace

// ---------------------------------------------------------------- Qt target

TQtFaxPrintTarget::TQtFaxPrintTarget(std::string pdfFileName, bool forcePdf)
    : PdfFileName_(std::move(pdfFileName)), ForcePdf_(forcePdf)
{
}

TQtFaxPrintTarget::~TQtFaxPrintTarget()
{
    if (Printing_)
        Abort();
}

bool TQtFaxPrintTarget::BeginDoc(const std::string& title)
{
    Printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    Printer_->setOutputFormat(QPrinter::PdfFormat);
    Printer_->setOutputFileName(QFile::decodeName(QByteArray::fromStdString(PdfFileName_)));
    Printer_->setResolution(300);
    Printer_->setDocName(ToQt(title));
    Title_ = title;
    ToPdf_ = true;
    Printing_ = Painter_.begin(Printer_.get());
    return Printing_;
}

void TQtFaxPrintTarget::NewPage()
{
    if (Printing_)
        Printer_->newPage();
}

void TQtFaxPrintTarget::EndDoc()
{
    if (!Printing_)
        return;
    Painter_.end();
    Printing_ = false;
    if (!ForcePdf_ && FaxPrintDocument(nullptr, PdfFileName_, Title_)) {
        ToPdf_ = false;
        std::remove(PdfFileName_.c_str());
    }
}

void TQtFaxPrintTarget::Abort()
{
    if (!Printing_)
        return;
    Printing_ = false;
    Printer_->abort();
    if (Painter_.isActive())
        Painter_.end();
    if (ToPdf_)
        std::remove(PdfFileName_.c_str());
}

QRect TQtFaxPrintTarget::PageRect() const
{
    return Printer_ ? QRect(0, 0, Printer_->width(), Printer_->height()) : QRect();
}

int TQtFaxPrintTarget::PixelsPerInch() const
{
    return Printer_ ? Printer_->resolution() : 300;
}

std::string TQtFaxPrintTarget::KeptAs() const
{
    return ToPdf_ && !Printing_ ? PdfFileName_ : std::string();
}

bool TQtFaxPrintTarget::Landscape() const
{
    return Printer_ && Printer_->pageLayout().orientation() == QPageLayout::Landscape;
}

// ---------------------------------------------------------------- print service

bool FaxPrintDocument(const TApdBaseComponent* component, const std::string& path,
                      const std::string& title)
{
    using PrintService::TPrintOutcome;
    const PrintService::TPrintResult result = PrintService::PrintFile(path, title);
    switch (result.Outcome) {
    case TPrintOutcome::poPrinted:
        return true;
    case TPrintOutcome::poNoPrinter:
        return false;
    case TPrintOutcome::poTimedOut:
        CheckException(component, AdErr::ecTimeout);
        return false;
    case TPrintOutcome::poFailed:
        break;
    }
    throw EInOutError(-AdErr::ecDeviceWrite, result.Text);
}

// ---------------------------------------------------------------- margin, log, status

TApdFaxPrinterMargin::TApdFaxPrinterMargin()
{
    Font.setPointSize(10);
}

TApdCustomFaxPrinterLog::TApdCustomFaxPrinterLog(QObject* owner) : TApdBaseComponent(owner)
{
    if (owner)
        for (auto* printer : owner->findChildren<TApdCustomFaxPrinter*>())
            if (!printer->FaxPrinterLog())
                printer->SetFaxPrinterLog(this);
}

void TApdCustomFaxPrinterLog::UpdateLog(TFaxPLCode code)
{
    if (LogFileName.empty())
        return;
    static constexpr const char* kVerbs[] = {" started at ", " finished at ", " aborted at ",
                                             " failed at "};
    const std::string name = FaxPrinter_ ? FaxPrinter_->FileName() : std::string();
    std::string line = "Printing " + name + kVerbs[static_cast<int>(code)] + ShortDate() + " " +
                       LongTime() + "\r\n";
    if (code != TFaxPLCode::lcStart)
        line += "\r\n";
    AppendToFile(LogFileName, line);
}

TApdAbstractFaxPrinterStatus::TApdAbstractFaxPrinterStatus(QObject* owner)
    : TApdBaseComponent(owner)
{
    if (owner)
        for (auto* printer : owner->findChildren<TApdCustomFaxPrinter*>())
            if (!printer->StatusDisplay())
                printer->SetStatusDisplay(this);
}

TApdAbstractFaxPrinterStatus::~TApdAbstractFaxPrinterStatus() = default;

void TApdAbstractFaxPrinterStatus::Show()
{
    if (Display_)
        Display_->show();
    Visible_ = true;
}

void TApdAbstractFaxPrinterStatus::GetProperties()
{
    if (!Display_)
        return;
    Caption_ = FromQt(Display_->windowTitle());
    Visible_ = Display_->isVisible();
}

void TApdAbstractFaxPrinterStatus::SetCaption(const std::string& value)
{
    Caption_ = value;
    if (Display_)
        Display_->setWindowTitle(ToQt(value));
}

void TApdAbstractFaxPrinterStatus::SetPosition(TPosition value)
{
    Position_ = value;
    PlaceDisplay();
}

void TApdAbstractFaxPrinterStatus::PlaceDisplay()
{
    if (!Display_ || Position_ != TPosition::poScreenCenter)
        return;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        Display_->move(screen->availableGeometry().center() - Display_->rect().center());
}

void TApdAbstractFaxPrinterStatus::SetVisible(bool value)
{
    Visible_ = value;
    if (Display_)
        Display_->setVisible(value);
}

// ---------------------------------------------------------------- printer

TApdCustomFaxPrinter::TApdCustomFaxPrinter(QObject* owner)
    : TApdBaseComponent(owner), Unpacker_(std::make_unique<TApdFaxUnpacker>())
{
    FaxHeader.Caption = "FILE: $F";
    FaxHeader.Enabled = true;
    FaxFooter.Caption = "PAGE: $P of $N";
    FaxFooter.Enabled = true;
    Unpacker_->OnBlankPage = [this](TApdCustomFaxUnpacker*, int) { PageFailed_ = true; };
    SetStatusDisplay(FindAmongOwned<TApdAbstractFaxPrinterStatus>(owner));
    SetFaxPrinterLog(FindAmongOwned<TApdCustomFaxPrinterLog>(owner));
}

TApdCustomFaxPrinter::~TApdCustomFaxPrinter()
{
    if (Target_ && Target_->Printing())
        Target_->Abort();
}

void TApdCustomFaxPrinter::SetFaxPrinterLog(TApdCustomFaxPrinterLog* log)
{
    FaxPrinterLog_ = log;
    if (log)
        log->FaxPrinter_ = this;
}

void TApdCustomFaxPrinter::SetStatusDisplay(TApdAbstractFaxPrinterStatus* display)
{
    StatusDisplay_ = display;
    if (display)
        display->FaxPrinter_ = this;
}

void TApdCustomFaxPrinter::SetFileName(const std::string& value)
{
    if (value == FileName_)
        return;
    FileName_ = value;
    Unpacker_->SetInFileName(value);
    TotalPages_ = static_cast<unsigned>(Unpacker_->GetNumPages());
    FaxResolution_ = Unpacker_->GetFaxResolution();
    FaxWidth_ = Unpacker_->GetFaxWidth();
    FirstPage = TotalPages_ > 0 ? 1 : 0;
    LastPage = TotalPages_;
}

void TApdCustomFaxPrinter::SetPrintTarget(std::unique_ptr<TFaxPrintTarget> target)
{
    Target_ = std::move(target);
    OwnTarget_ = false;
}

bool TApdCustomFaxPrinter::Printing() const
{
    return Target_ && Target_->Printing();
}

bool TApdCustomFaxPrinter::PrintSetup()
{
    QPrinter printer;
    QPrintDialog dialog(&printer);
    dialog.setOptions({});
    dialog.setPrintRange(QAbstractPrintDialog::PageRange);
    dialog.setMinMax(TotalPages_ > 0 ? 1 : 0, static_cast<int>(TotalPages_));
    printer.setFromTo(static_cast<int>(FirstPage), static_cast<int>(LastPage));
    if (ShowModal(dialog) != QDialog::Accepted)
        return false;
    FirstPage = printer.fromPage() > 0 ? static_cast<unsigned>(printer.fromPage()) : 1;
    LastPage = printer.toPage() > 0 ? static_cast<unsigned>(printer.toPage()) : TotalPages_;
    return true;
}

std::string TApdCustomFaxPrinter::ReplaceHFParams(const std::string& text, unsigned page) const
{
    std::string out = text;
    std::size_t from = 0;
    for (;;) {
        const std::size_t dollar = out.find('$', from);
        if (dollar == std::string::npos)
            break;
        std::size_t end = out.find(' ', dollar);
        if (end == std::string::npos)
            end = out.size();
        const char code =
            dollar + 1 < end
                ? static_cast<char>(std::toupper(static_cast<unsigned char>(out[dollar + 1])))
                : '\0';
        std::string value;
        switch (code) {
        case 'D':
            value = ShortDate();
            break;
        case 'F':
            value = FileName_;
            break;
        case 'N':
            value = std::to_string(TotalPages_);
            break;
        case 'P':
            value = std::to_string(page);
            break;
        case 'T':
            value = LongTime();
            break;
        default:
            break;
        }
        out.replace(dollar, end - dollar, value);
        from = dollar + value.size();
    }
    return out;
}

void TApdCustomFaxPrinter::UpdateStatusDisplay(bool first, bool last)
{
    if (StatusDisplay_)
        StatusDisplay_->UpdateDisplay(first, last);
}

void TApdCustomFaxPrinter::SetFaxPrintProgress(TFaxPrintProgress progress)
{
    if (progress != PrintProgress_) {
        PrintProgress_ = progress;
        if (OnFaxPrintStatus)
            OnFaxPrintStatus(this, progress);
        if (StatusDisplay_ && StatusDisplay_->Display() && StatusDisplay_->Display()->isVisible())
            StatusDisplay_->UpdateDisplay(false, false);
    }
    FaxServeQueue();
}

void TApdCustomFaxPrinter::FaxPrintLog(TFaxPLCode code)
{
    if (OnFaxPrintLog)
        OnFaxPrintLog(this, code);
    if (FaxPrinterLog_)
        FaxPrinterLog_->UpdateLog(code);
}

QFont TApdCustomFaxPrinter::MarginFont(const TApdFaxPrinterMargin& margin) const
{
    QFont font = margin.Font;
    if (MultiPage && font.pointSize() > 0)
        font.setPointSize(std::max(1, font.pointSize() / 2));
    return font;
}

void TApdCustomFaxPrinter::CreateFaxHeader(QPainter& canvas, unsigned page, QRect& rect)
{
    const QFont font = MarginFont(FaxHeader);
    canvas.setFont(font);
    const int h = QFontMetrics(font, canvas.device()).height();
    const QRect line(rect.left(), rect.top(), rect.width(), h);
    canvas.save();
    canvas.setClipRect(line);
    canvas.drawText(line, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                    ToQt(ReplaceHFParams(FaxHeader.Caption, page)));
    canvas.restore();
    FaxHeader.FontHeight = h;
    const int y = rect.top() + h + 2;
    canvas.drawLine(rect.left(), y, rect.left() + rect.width(), y);
    rect.setTop(y + 1);
}

void TApdCustomFaxPrinter::CreateFaxFooter(QPainter& canvas, unsigned page, QRect& rect)
{
    const QFont font = MarginFont(FaxFooter);
    canvas.setFont(font);
    const int h = QFontMetrics(font, canvas.device()).height();
    const int bottom = rect.top() + rect.height();
    const QRect line(rect.left(), bottom - h, rect.width(), h);
    canvas.save();
    canvas.setClipRect(line);
    canvas.drawText(line, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                    ToQt(ReplaceHFParams(FaxFooter.Caption, page)));
    canvas.restore();
    FaxFooter.FontHeight = h;
    const int y = bottom - h - 2;
    canvas.drawLine(rect.left(), y, rect.left() + rect.width(), y);
    rect.setBottom(y - 2); // the area ends above the line
}

void TApdCustomFaxPrinter::PrintPage(unsigned page, unsigned index)
{
    if (OnNextPage)
        OnNextPage(this, static_cast<int>(page), static_cast<int>(TotalPages_));
    SetFaxPrintProgress(TFaxPrintProgress::ppConverting);
    PageFailed_ = false;
    QImage bitmap;
    try {
        bitmap = Unpacker_->UnpackPageToBitmap(page);
    } catch (const EUnpackAbort&) {
        if (!Printing())
            return;
        throw;
    }
    FaxServeQueue();
    if (!Printing())
        return;
    SetFaxPrintProgress(TFaxPrintProgress::ppComposing);

    const QRect sheet = Target_->PageRect();
    int left = 0, top = 0, right = sheet.width(), bottom = sheet.height();
    if (MultiPage) {
        const bool landscape = Target_->Landscape();
        const int halfW = sheet.width() / 2, halfH = sheet.height() / 2;
        right = halfW;
        if (!landscape)
            bottom = halfH;
        const unsigned slot = index % 4;
        if (slot == 1 || slot == 3) {
            left = halfW;
            right = sheet.width();
        }
        if (!landscape && slot >= 2) {
            top = halfH;
            bottom = sheet.height();
        }
    }
    QRect area(QPoint(left + 2, top + 2), QPoint(right - 3, bottom - 3));
    FaxServeQueue();
    QPainter& canvas = Target_->Canvas();
    if (Printing() && FaxHeader.Enabled)
        CreateFaxHeader(canvas, page, area);
    if (Printing() && FaxFooter.Enabled)
        CreateFaxFooter(canvas, page, area);

    // The unpacker doubles a standard page's lines, so the bitmap's pixels
    // are about square and one scale serves both ways.
    int width, height;
    QRect source = bitmap.rect();
    if (PrintScale == TFaxPrintScale::psFitToPage) {
        const double scale = std::min(area.width() * 0.93 / std::max(bitmap.width(), 1),
                                      static_cast<double>(std::max(area.height(), 0)) /
                                          std::max(bitmap.height(), 1));
        width = static_cast<int>(bitmap.width() * scale);
        height = static_cast<int>(bitmap.height() * scale);
    } else {
        const int ppi = Target_->PixelsPerInch();
        width = bitmap.width() * ppi / 200;
        height = bitmap.height() * ppi / 200;
        if (height > area.height() && height > 0) {
            // Cut, not squeezed: the lines below the sheet are left out.
            source.setHeight(static_cast<int>(int64_t{bitmap.height()} * area.height() / height));
            height = std::max(area.height(), 0);
        }
    }
    SetFaxPrintProgress(TFaxPrintProgress::ppRendering);
    if (Printing() && width > 0 && height > 0)
        canvas.drawImage(QRect(area.left(), area.top(), width, height), bitmap, source);
    SetFaxPrintProgress(TFaxPrintProgress::ppSubmitting);
    if (PageFailed_) {
        FailureText_ = "page " + std::to_string(page) + " holds no lines";
        FaxPrintLog(TFaxPLCode::lcFailed);
    }
}

void TApdCustomFaxPrinter::PrintFax()
{
    if (TotalPages_ == 0) {
        CurrentPage_ = 0;
        return;
    }
    // A PDF of the printer's own is named for each fax anew.
    if (!Target_ || (OwnTarget_ && !Target_->Printing())) {
        const std::string pdf = PdfFileName.empty() ? ForceExt(FileName_, "pdf") : PdfFileName;
        Target_ = std::make_unique<TQtFaxPrintTarget>(pdf);
        OwnTarget_ = true;
    }
    PrintProgress_ = TFaxPrintProgress::ppIdle;
    UpdateStatusDisplay(true, false);
    if (OnFaxPrintStatus)
        OnFaxPrintStatus(this, TFaxPrintProgress::ppIdle);
    FailureText_.clear();
    FaxPrintLog(TFaxPLCode::lcStart);
    auto finish = [this](TFaxPLCode code) {
        if (code != TFaxPLCode::lcAborted)
            FaxPrintLog(code);
        PrintProgress_ = TFaxPrintProgress::ppIdle;
        UpdateStatusDisplay(false, true);
        if (OnFaxPrintStatus)
            OnFaxPrintStatus(this, TFaxPrintProgress::ppIdle);
        CurrentPage_ = 0;
    };
    // No job for an empty range: even without pages it puts out a sheet.
    if (FirstPage == 0 || FirstPage > LastPage) {
        finish(TFaxPLCode::lcFinish);
        return;
    }
    if (!Target_->BeginDoc(Caption)) {
        FailureText_ = ErrorMsg(AdErr::ecDeviceWrite);
        finish(TFaxPLCode::lcFailed);
        CheckException(this, AdErr::ecDeviceWrite);
        return;
    }
    Unpacker_->SetOptions(static_cast<uint16_t>(Unpacker_->Options() & ~uoAbort));
    bool aborted = false;
    try {
        for (unsigned page = FirstPage; page <= LastPage && page > 0; ++page) {
            CurrentPage_ = page;
            const unsigned i = page - FirstPage;
            FaxServeQueue();
            if (i > 0 && Printing()) {
                const bool shareSheet = MultiPage && i % (Target_->Landscape() ? 2 : 4) != 0;
                if (!shareSheet)
                    Target_->NewPage();
            }
            FaxServeQueue();
            if (!Printing()) {
                aborted = true;
                break;
            }
            PrintPage(page, i);
            if (!Printing()) {
                aborted = true;
                break;
            }
        }
    } catch (...) {
        FailureText_ = CurrentExceptionText();
        if (Target_->Printing())
            Target_->Abort();
        finish(TFaxPLCode::lcFailed);
        throw;
    }
    if (aborted) {
        CurrentPage_ = 0;
        return;
    }
    FaxServeQueue();
    if (Printing()) {
        try {
            Target_->EndDoc();
        } catch (...) {
            FailureText_ = CurrentExceptionText();
            finish(TFaxPLCode::lcFailed);
            throw;
        }
    }
    finish(TFaxPLCode::lcFinish);
}

void TApdCustomFaxPrinter::PrintAbort()
{
    SetFaxPrintProgress(TFaxPrintProgress::ppIdle);
    if (Printing()) {
        Unpacker_->SetOptions(Unpacker_->Options() | uoAbort);
        Target_->Abort();
        CurrentPage_ = 0;
        FaxPrintLog(TFaxPLCode::lcAborted);
        UpdateStatusDisplay(false, true);
    }
    FaxServeQueue();
}
