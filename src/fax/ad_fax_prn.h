#pragma once

#include "fax/ad_fax_cvt.h"
#include "fax/fax_status_display.h"
#include "serial/ad_component.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QRect>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QPrinter;

// Fax printing: each page of an APF file is unpacked to a bitmap, scaled
// onto a sheet and framed by a header and a footer line whose texts carry
// tokens ($D date, $F file name, $N pages, $P page, $T time).
//
// Choices made here:
// - Sheets go to a TFaxPrintTarget. The program's own target draws them
//   into a PDF file beside the fax (its name with ".pdf") and hands that to
//   the system's print service (FaxPrintDocument). Once printed the PDF
//   goes; when the system has no printer it stays, and so it does when
//   printing fails (the job then ends as failed with the print command's
//   text).
// - Every way out of a job ends it: an error while a page is prepared
//   aborts the job (an aborted PDF is removed) and logs a failure before
//   the error goes on to the caller.
// - A page that decodes to no lines logs a failure and prints as a white
//   sheet, so the page numbers stay right.
// - Fit to page keeps the page's proportions (a standard page's lines count
//   double) and makes it as large as the area allows, at most 93 % of its
//   width, instead of giving every 1728-pixel page the area's whole height,
//   which stretches a short page into bars. Without scaling, a page taller
//   than the area is cut at its foot, not squeezed.

// Hands a document to the system's print service under that title. False
// when the system has no printer; a print command that fails raises
// EInOutError with its text, one that does not answer ETimeout.
bool FaxPrintDocument(const TApdBaseComponent* component, const std::string& path,
                      const std::string& title);

// Where the sheets of a job go; EndDoc may raise when the job cannot be
// handed on.
class TFaxPrintTarget {
public:
    virtual ~TFaxPrintTarget() = default;
    // Starts a job with that title; false when it cannot start.
    virtual bool BeginDoc(const std::string& title) = 0;
    virtual void NewPage() = 0;
    virtual void EndDoc() = 0;
    virtual void Abort() = 0;
    virtual bool Printing() const = 0;
    // Valid while printing.
    virtual QPainter& Canvas() = 0;
    // The printable area in device pixels, at (0, 0).
    virtual QRect PageRect() const = 0;
    virtual int PixelsPerInch() const = 0;
    virtual bool Landscape() const = 0;
    // The file the last job stayed in when no printer took it; empty when
    // it was printed.
    virtual std::string KeptAs() const { return {}; }
};

// A PDF file, printed through the system's print service and then removed
// (kept when there is no printer, or when asked to keep it and not print).
class TQtFaxPrintTarget : public TFaxPrintTarget {
public:
    explicit TQtFaxPrintTarget(std::string pdfFileName, bool forcePdf = false);
    ~TQtFaxPrintTarget() override;

    bool BeginDoc(const std::string& title) override;
    void NewPage() override;
    void EndDoc() override;
    void Abort() override;
    bool Printing() const override { return Printing_; }
    QPainter& Canvas() override { return Painter_; }
    QRect PageRect() const override;
    int PixelsPerInch() const override;
    bool Landscape() const override;
    std::string KeptAs() const override;
    // True when the last job stayed in the PDF file.
    bool ToPdf() const { return ToPdf_; }

private:
    std::string PdfFileName_;
    std::string Title_;
    bool ForcePdf_;
    bool ToPdf_ = false;
    std::unique_ptr<QPrinter> Printer_;
    QPainter Painter_;
    bool Printing_ = false;
};

enum class TFaxPrintProgress { ppIdle, ppComposing, ppRendering, ppSubmitting, ppConverting };
enum class TFaxPLCode { lcStart, lcFinish, lcAborted, lcFailed };
enum class TFaxPrintScale { psNone, psFitToPage };

class TApdCustomFaxPrinter;

class TApdFaxPrinterMargin {
public:
    TApdFaxPrinterMargin();
    std::string Caption;
    bool Enabled = false;
    QFont Font;
    int FontHeight = 0; // of the last drawn text
};

class TApdCustomFaxPrinterLog : public TApdBaseComponent {
    Q_OBJECT

public:
    explicit TApdCustomFaxPrinterLog(QObject* owner = nullptr);
    // Empty: no log.
    std::string LogFileName = "FAXPRINT.LOG";
    TApdCustomFaxPrinter* FaxPrinter() const { return FaxPrinter_; }
    virtual void UpdateLog(TFaxPLCode code);

private:
    friend class TApdCustomFaxPrinter;
    QPointer<TApdCustomFaxPrinter> FaxPrinter_;
};

class TApdFaxPrinterLog : public TApdCustomFaxPrinterLog {
public:
    using TApdCustomFaxPrinterLog::TApdCustomFaxPrinterLog;
};

// The base of a print status display; the concrete one makes its form
// (Display) in its own constructor.
class TApdAbstractFaxPrinterStatus : public TApdBaseComponent {
    Q_OBJECT

public:
    explicit TApdAbstractFaxPrinterStatus(QObject* owner = nullptr);
    ~TApdAbstractFaxPrinterStatus() override;

    virtual void UpdateDisplay(bool first, bool last) = 0;
    virtual void CreateDisplay() = 0;
    virtual void DestroyDisplay() = 0;
    void Show();
    // Takes caption and visibility back from the form.
    void GetProperties();

    QWidget* Display() const { return Display_; }
    TApdCustomFaxPrinter* FaxPrinter() const { return FaxPrinter_; }
    const std::string& Caption() const { return Caption_; }
    void SetCaption(const std::string& value);
    bool Visible() const { return Visible_; }
    void SetVisible(bool value);
    // Where the form is shown: centred on the screen, or left where it is.
    TPosition Position() const { return Position_; }
    void SetPosition(TPosition value);
    bool Ctl3D = true;

protected:
    // Centres the form when the position says so.
    void PlaceDisplay();

    QPointer<QWidget> Display_;

private:
    friend class TApdCustomFaxPrinter;
    QPointer<TApdCustomFaxPrinter> FaxPrinter_;
    TPosition Position_ = TPosition::poScreenCenter;
    std::string Caption_ = "Print Status";
    bool Visible_ = false;
};

using TFaxPrnNextPageEvent = std::function<void(TApdCustomFaxPrinter* sender, int cp, int tp)>;
using TFaxPLEvent = std::function<void(TApdCustomFaxPrinter* sender, TFaxPLCode code)>;
using TFaxPrintStatusEvent =
    std::function<void(TApdCustomFaxPrinter* sender, TFaxPrintProgress progress)>;

class TApdCustomFaxPrinter : public TApdBaseComponent {
    Q_OBJECT

public:
    // Links the first status display and print log found among the owner's
    // components.
    explicit TApdCustomFaxPrinter(QObject* owner = nullptr);
    ~TApdCustomFaxPrinter() override;

    std::string Caption = "SkipMail Fax Printer";
    TApdFaxPrinterMargin FaxHeader;
    TApdFaxPrinterMargin FaxFooter;
    bool MultiPage = false;
    TFaxPrintScale PrintScale = TFaxPrintScale::psFitToPage;
    // The PDF that goes to the printer (and stays without one); empty:
    // beside the fax.
    std::string PdfFileName;

    TApdCustomFaxPrinterLog* FaxPrinterLog() const { return FaxPrinterLog_; }
    void SetFaxPrinterLog(TApdCustomFaxPrinterLog* log);
    TApdAbstractFaxPrinterStatus* StatusDisplay() const { return StatusDisplay_; }
    void SetStatusDisplay(TApdAbstractFaxPrinterStatus* display);

    const std::string& FileName() const { return FileName_; }
    void SetFileName(const std::string& value);
    unsigned TotalPages() const { return TotalPages_; }
    unsigned CurrentPage() const { return CurrentPage_; }
    unsigned FirstPage = 0;
    unsigned LastPage = 0;
    bool FaxResolution() const { return FaxResolution_; }
    bool FaxWidth() const { return FaxWidth_; }
    TFaxPrintProgress PrintProgress() const { return PrintProgress_; }
    // Why the last job (or its last page) failed, as the print command or
    // the unpacker said; empty when nothing failed.
    const std::string& FailureText() const { return FailureText_; }

    TFaxPrnNextPageEvent OnNextPage;
    TFaxPLEvent OnFaxPrintLog;
    TFaxPrintStatusEvent OnFaxPrintStatus;

    // Replaces the place the sheets go (tests; a chosen printer).
    void SetPrintTarget(std::unique_ptr<TFaxPrintTarget> target);
    TFaxPrintTarget* PrintTarget() const { return Target_.get(); }

    // The page range dialog; true on OK.
    bool PrintSetup();
    void PrintFax();
    void PrintAbort();
    std::string ReplaceHFParams(const std::string& text, unsigned page) const;
    void SetFaxPrintProgress(TFaxPrintProgress progress);
    void FaxPrintLog(TFaxPLCode code);

    virtual void CreateFaxHeader(QPainter& canvas, unsigned page, QRect& rect);
    virtual void CreateFaxFooter(QPainter& canvas, unsigned page, QRect& rect);

private:
    friend class TApdCustomFaxPrinterLog;
    friend class TApdAbstractFaxPrinterStatus;
    bool Printing() const;
    void UpdateStatusDisplay(bool first, bool last);
    void PrintPage(unsigned page, unsigned index);
    QFont MarginFont(const TApdFaxPrinterMargin& margin) const;

    std::string FileName_;
    unsigned TotalPages_ = 0;
    unsigned CurrentPage_ = 0;
    bool FaxResolution_ = false;
    bool FaxWidth_ = false;
    TFaxPrintProgress PrintProgress_ = TFaxPrintProgress::ppIdle;
    QPointer<TApdCustomFaxPrinterLog> FaxPrinterLog_;
    QPointer<TApdAbstractFaxPrinterStatus> StatusDisplay_;
    std::unique_ptr<TApdFaxUnpacker> Unpacker_;
    std::unique_ptr<TFaxPrintTarget> Target_;
    // Target_ was made by PrintFax, not given by SetPrintTarget.
    bool OwnTarget_ = false;
    bool PageFailed_ = false;
    std::string FailureText_;
};

class TApdFaxPrinter : public TApdCustomFaxPrinter {
public:
    using TApdCustomFaxPrinter::TApdCustomFaxPrinter;
};
