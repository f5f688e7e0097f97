#pragma once

#include "fax/fax_convert.h"
#include "fax/fax_unpack.h"
#include "serial/ad_component.h"

#include <QFont>
#include <QImage>
#include <functional>
#include <memory>
#include <string>

// The fax converter and unpacker components: the conversion engine and the
// unpacker behind properties, methods and events. Every engine result goes
// through CheckException, so failures surface as the library's exceptions.
//
// Choices made here:
// - Shell printing (idShell) prints DocumentFile to the fax printer, the
//   CUPS queue "APF_Fax_Printer" (fax_shell_printer.h), whose backend writes
//   the APF file. It is not made the default printer for the print (with
//   the old one put back after): a CUPS job names its queue, so the default
//   printer is left alone. The output name goes through APFPDENG.INI
//   alone (there is no registry), with a handle that the job carries too in
//   place of the component's window. Without the queue it fails with
//   "printer not installed", as the other input routines refuse it, and
//   with "cannot reach the print service" when CUPS does not answer; a job
//   not ended after ShellTimeout is cancelled and gives -6006, saying
//   whether another job had the fax printer all that time; an abort
//   from OnStatus (asked while the job is waited for) cancels it too and
//   gives -8003; a failed job raises EInOutError with the reason in words.
// - A page that decodes to no lines becomes a white page of its own width
//   (OnBlankPage tells the caller, which logs it) instead of an error that
//   would stop a whole fax.
// - A page's bitmap is as wide as that page (or its widest line), not as
//   page 1.

enum class TFaxInputDocumentType {
    idNone,
    idText,
    idTextEx,
    idTiff,
    idPcx,
    idDcx,
    idBmp,
    idBitmap,
    idUser,
    idShell
};
// Converter options: a set of these bits.
using TFaxCvtOptions = uint16_t;
inline constexpr TFaxCvtOptions coDoubleWidth = fcDoubleWidth;
inline constexpr TFaxCvtOptions coHalfHeight = fcHalfHeight;
inline constexpr TFaxCvtOptions coCenterImage = fcCenterImage;
inline constexpr TFaxCvtOptions coYield = fcYield;
inline constexpr TFaxCvtOptions coYieldOften = fcYieldOften;
enum class TFaxResolution { frNormal, frHigh };
enum class TFaxWidth { fwNormal, fwWide };
enum class TFaxFont { ffStandard, ffSmall };

class TApdCustomFaxConverter;
using TFaxStatusEvent = std::function<void(TApdCustomFaxConverter* sender, bool starting,
                                           bool ending, int pagesConverted, int linesConverted,
                                           int bytesConverted, int bytesToConvert, bool& abort)>;
using TFaxOutputLineEvent = std::function<void(TApdCustomFaxConverter* sender, const uint8_t* data,
                                               int len, bool endOfPage, bool morePages)>;
using TFaxOpenFileEvent =
    std::function<void(TApdCustomFaxConverter* sender, const std::string& fileName)>;
using TFaxCloseFileEvent = std::function<void(TApdCustomFaxConverter* sender)>;
using TFaxReadLineEvent = std::function<void(TApdCustomFaxConverter* sender, uint8_t* data,
                                             int& len, bool& endOfPage, bool& morePages)>;

class TApdCustomFaxConverter : public TApdBaseComponent {
public:
    explicit TApdCustomFaxConverter(QObject* owner = nullptr);
    ~TApdCustomFaxConverter() override;

    TFaxInputDocumentType InputDocumentType() const { return InputDocumentType_; }
    void SetInputDocumentType(TFaxInputDocumentType value) { InputDocumentType_ = value; }
    TFaxCvtOptions Options() const { return Options_; }
    // coYieldOften brings coYield with it.
    void SetOptions(TFaxCvtOptions value);
    TFaxResolution Resolution() const { return Resolution_; }
    void SetResolution(TFaxResolution value) { Resolution_ = value; }
    TFaxWidth Width() const { return Width_; }
    void SetWidth(TFaxWidth value) { Width_ = value; }
    unsigned TopMargin() const { return TopMargin_; }
    void SetTopMargin(unsigned value) { TopMargin_ = value; }
    unsigned LeftMargin() const { return LeftMargin_; }
    void SetLeftMargin(unsigned value) { LeftMargin_ = value; }
    unsigned LinesPerPage() const { return LinesPerPage_; }
    void SetLinesPerPage(unsigned value) { LinesPerPage_ = value; }
    unsigned TabStop() const { return TabStop_; }
    void SetTabStop(unsigned value) { TabStop_ = value; }
    const QFont& EnhFont() const { return EnhFont_; }
    void SetEnhFont(const QFont& value) { EnhFont_ = value; }
    const std::string& FontFile() const { return FontFile_; }
    void SetFontFile(const std::string& value) { FontFile_ = value; }
    TFaxFont FontType() const { return FontType_; }
    void SetFontType(TFaxFont value) { FontType_ = value; }
    const std::string& DocumentFile() const { return DocumentFile_; }
    // A new, non-empty name also names the output: same path, ".APF".
    void SetDocumentFile(const std::string& value);
    const std::string& OutFileName() const { return OutFileName_; }
    void SetOutFileName(const std::string& value) { OutFileName_ = value; }
    const std::string& DefUserExtension() const { return DefUserExtension_; }
    void SetDefUserExtension(const std::string& value) { DefUserExtension_ = value; }
    std::string StationID;
    bool PadPage = false;
    // How long the shell route waits for the fax printer's APF file, in ms.
    int ShellTimeout = 120000;

    TFaxStatusEvent OnStatus;
    TFaxOutputLineEvent OnOutputLine;
    TFaxOpenFileEvent OnOpenUserFile;
    TFaxCloseFileEvent OnCloseUserFile;
    TFaxReadLineEvent OnReadUserLine;

    // DocumentFile into OutFileName.
    void ConvertToFile();
    // One picture into a one-page file named by OutFileName (or after
    // DocumentFile).
    void ConvertBitmapToFile(const QImage& bitmap);
    // Like ConvertToFile, each coded line to OnOutputLine.
    void Convert();
    // Rewrites an APF file at another resolution: a standard page becomes
    // fine with every line twice, a fine page standard with every second
    // line; a page already there is kept as it is, and so is the header.
    void ConvertToHighRes(const std::string& fileName);
    void ConvertToLowRes(const std::string& fileName);
    void ConvertToResolution(const std::string& fileName, TFaxResolution resolution);

    // Line-level access for callers that code and send lines themselves.
    void OpenFile();
    void CloseFile();
    bool FileOpen() const { return FileOpen_; }
    void GetRasterLine(uint8_t* data, int& len, bool& endOfPage, bool& morePages);
    void CompressRasterLine(const uint8_t* source, uint8_t* dest, int& len);
    void MakeEndOfPage(uint8_t* dest, int& len);

    void CreateData();
    void DestroyData();
    TAbsFaxCvt* Data() const { return Data_.get(); }

protected:
    virtual void Status(bool starting, bool ending, int pages, int lines, int bytes, int total,
                        bool& abort);
    virtual void OutputLine(const uint8_t* data, int len, bool endOfPage, bool morePages);
    virtual void OpenUserFile(const std::string& fileName);
    virtual void CloseUserFile();
    virtual void ReadUserLine(uint8_t* data, int& len, bool& endOfPage, bool& morePages);

private:
    void CheckKind() const;
    void ShellPrint();

    TFaxInputDocumentType InputDocumentType_ = TFaxInputDocumentType::idNone;
    TFaxCvtOptions Options_ = coDoubleWidth | coCenterImage | coYield;
    TFaxResolution Resolution_ = TFaxResolution::frNormal;
    TFaxWidth Width_ = TFaxWidth::fwNormal;
    unsigned TopMargin_ = 0;
    unsigned LeftMargin_ = 50;
    unsigned LinesPerPage_ = 60;
    unsigned TabStop_ = 4;
    QFont EnhFont_;
    std::string FontFile_ = "APFAX.FNT";
    TFaxFont FontType_ = TFaxFont::ffStandard;
    std::string DocumentFile_;
    std::string OutFileName_;
    std::string DefUserExtension_;
    std::unique_ptr<TAbsFaxCvt> Data_;
    bool FileOpen_ = false;
};

class TApdFaxConverter : public TApdCustomFaxConverter {
public:
    using TApdCustomFaxConverter::TApdCustomFaxConverter;
};

// Unpacker options: a set of these bits.
using TUnpackerOptions = uint16_t;
inline constexpr TUnpackerOptions uoYield = 1;
inline constexpr TUnpackerOptions uoAbort = 2;
enum class TAutoScaleMode { asNone, asDoubleHeight, asHalfWidth };

class TApdCustomFaxUnpacker;
using TUnpackOutputLineEvent =
    std::function<void(TApdCustomFaxUnpacker* sender, bool starting, bool ending,
                       const uint8_t* data, int len, int pageNum)>;
using TUnpackStatusEvent =
    std::function<void(TApdCustomFaxUnpacker* sender, const std::string& fileName, int pageNum,
                       int bytesUnpacked, int bytesToUnpack)>;
using TUnpackBlankPageEvent = std::function<void(TApdCustomFaxUnpacker* sender, int pageNum)>;

class TApdCustomFaxUnpacker : public TApdBaseComponent {
public:
    explicit TApdCustomFaxUnpacker(QObject* owner = nullptr);
    ~TApdCustomFaxUnpacker() override;

    TUnpackerOptions Options() const { return Options_; }
    // Also reaches an unpack that is running (uoAbort stops it).
    void SetOptions(TUnpackerOptions value);
    bool WhitespaceCompression = false;
    unsigned WhitespaceFrom = 0;
    unsigned WhitespaceTo = 0;
    bool Scaling = false;
    unsigned HorizMult() const { return HorizMult_; }
    unsigned HorizDiv() const { return HorizDiv_; }
    unsigned VertMult() const { return VertMult_; }
    unsigned VertDiv() const { return VertDiv_; }
    // Setting 0 changes nothing.
    void SetHorizMult(unsigned value);
    void SetHorizDiv(unsigned value);
    void SetVertMult(unsigned value);
    void SetVertDiv(unsigned value);
    TAutoScaleMode AutoScaleMode = TAutoScaleMode::asDoubleHeight;
    const std::string& InFileName() const { return InFileName_; }
    // Also sets OutFileName to the same path without extension.
    void SetInFileName(const std::string& value);
    const std::string& OutFileName() const { return OutFileName_; }
    void SetOutFileName(const std::string& value) { OutFileName_ = value; }

    TUnpackOutputLineEvent OnOutputLine;
    TUnpackStatusEvent OnStatus;
    // A page that gave no lines, replaced by a white page.
    TUnpackBlankPageEvent OnBlankPage;

    int GetNumPages();
    bool GetFaxResolution();
    bool GetFaxWidth();
    void UnpackPage(unsigned page);
    void UnpackFile();
    // A new monochrome picture of the page (Format_Mono).
    QImage UnpackPageToBitmap(unsigned page);
    QImage UnpackFileToBitmap();
    void UnpackPageToBmp(unsigned page);
    void UnpackFileToBmp();
    // The unpacker's file writers into OutFileName.
    void UnpackPageToPcx(unsigned page);
    void UnpackFileToPcx();
    void UnpackPageToDcx(unsigned page);
    void UnpackFileToDcx();
    void UnpackPageToTiff(unsigned page);
    void UnpackFileToTiff();
    static bool IsAnAPFFile(const std::string& fileName);
    // Copies one page into a new one-page file named by OutFileName.
    void ExtractPage(unsigned page);

protected:
    virtual void OutputLine(bool starting, bool ending, const uint8_t* data, int len, int page);
    virtual void Status(const std::string& fileName, int page, int done, int total);

private:
    void CreateData();
    // The picture for a page or file of the given width, white where the
    // unpacked bitmap has no lines.
    QImage Finish(const TMemoryBitmapDesc& desc, unsigned width, unsigned page, bool fine);
    unsigned ScaledWidth(unsigned width, bool fine) const;
    std::string BmpName() const;

    TUnpackerOptions Options_ = uoYield;
    unsigned HorizMult_ = 1, HorizDiv_ = 1, VertMult_ = 1, VertDiv_ = 1;
    std::string InFileName_;
    std::string OutFileName_;
    std::unique_ptr<TUnpackFax> Data_;
};

class TApdFaxUnpacker : public TApdCustomFaxUnpacker {
public:
    using TApdCustomFaxUnpacker::TApdCustomFaxUnpacker;
};
