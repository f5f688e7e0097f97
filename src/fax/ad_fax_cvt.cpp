#include "fax/ad_fax_cvt.h"

#include "fax/fax_bitmap_input.h"
#include "fax/fax_pcx_input.h"
#include "fax/fax_shell_printer.h"
#include "fax/fax_text_input.h"
#include "fax/fax_tiff_input.h"
#include "platform/atomic_file.h"
#include "serial/ad_except.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// A4 in lines: standard (3.85 lines/mm) and fine resolution.
constexpr unsigned kA4StandardLines = 1143;
constexpr unsigned kA4FineLines = 2287;

std::string WithoutExt(const std::string& name)
{
    const std::string withExt = ForceExt(name, "x");
    return withExt.substr(0, withExt.size() - 2);
}

} // namespace

// ---------------------------------------------------------------- converter

TApdCustomFaxConverter::TApdCustomFaxConverter(QObject* owner) : TApdBaseComponent(owner) {}

TApdCustomFaxConverter::~TApdCustomFaxConverter() = default;

void TApdCustomFaxConverter::SetOptions(TFaxCvtOptions value)
{
    if (value & coYieldOften)
        value |= coYield;
    Options_ = value;
}

void TApdCustomFaxConverter::SetDocumentFile(const std::string& value)
{
    if (value == DocumentFile_)
        return;
    DocumentFile_ = value;
    if (!value.empty() && !IsLoading())
        OutFileName_ = ForceExt(value, "APF");
}

void TApdCustomFaxConverter::CheckKind() const
{
    using K = TFaxInputDocumentType;
    switch (InputDocumentType_) {
    case K::idNone:
    case K::idBitmap:
        CheckException(this, AdErr::ecBadArgument);
        break;
    case K::idShell:
        throw ENotSupported(AdErr::ecNotSupported, "printer not installed");
    default:
        break;
    }
}

void TApdCustomFaxConverter::CreateData()
{
    using K = TFaxInputDocumentType;
    DestroyData();
    const bool fine = Resolution_ == TFaxResolution::frHigh;
    switch (InputDocumentType_) {
    case K::idText:
    case K::idTextEx:
        if (InputDocumentType_ == K::idText)
            fcInitTextConverter(Data_);
        else
            fcInitTextExConverter(Data_);
        break;
    case K::idBmp:
        bcInitBmpConverter(Data_);
        break;
    case K::idTiff:
        tcInitTiffConverter(Data_);
        break;
    case K::idPcx:
        pcInitPcxConverter(Data_);
        break;
    case K::idDcx:
        dcInitDcxConverter(Data_);
        break;
    case K::idUser:
        acInitFaxConverter(
            Data_, nullptr,
            [this](TAbsFaxCvt&, uint8_t* data, int& len, bool& eop, bool& more) {
                ReadUserLine(data, len, eop, more);
                return 0;
            },
            [this](TAbsFaxCvt&, const std::string& name) {
                OpenUserFile(name);
                return 0;
            },
            [this](TAbsFaxCvt&) { CloseUserFile(); }, DefUserExtension_);
        break;
    default:
        bcInitBitmapConverter(Data_);
        break;
    }
    TAbsFaxCvt& cvt = *Data_;
    acOptionsOff(cvt, 0xFFFF);
    acOptionsOn(cvt, Options_);
    acSetMargins(cvt, LeftMargin_, TopMargin_);
    acSetResolutionMode(cvt, fine);
    acSetResolutionWidth(cvt, Width_ == TFaxWidth::fwWide ? 2 : 1);
    acSetStationID(cvt, StationID);
    cvt.PadPage = PadPage;
    acSetStatusCallback(cvt, [this](TAbsFaxCvt& c, int flag, void*) {
        bool abort = false;
        Status(flag == csStarting, flag == csEnding, static_cast<int>(c.CurrPage),
               static_cast<int>(c.CurrLine), static_cast<int>(c.BytesRead),
               static_cast<int>(c.BytesToRead), abort);
        return abort;
    });
    if (InputDocumentType_ == K::idText || InputDocumentType_ == K::idTextEx) {
        fcSetTabStop(cvt, TabStop_);
        fcSetLinesPerPage(cvt, LinesPerPage_);
        const int rc =
            InputDocumentType_ == K::idText
                ? fcLoadFont(cvt, FontFile_,
                             FontType_ == TFaxFont::ffStandard ? kStandardFontCode : kSmallFontCode,
                             fine)
                : fcSetFont(cvt, EnhFont_, fine);
        if (rc != 0) {
            DestroyData();
            CheckException(this, rc);
        }
    }
}

void TApdCustomFaxConverter::DestroyData()
{
    if (Data_ && FileOpen_)
        acCloseFile(*Data_);
    FileOpen_ = false;
    Data_.reset();
}

void TApdCustomFaxConverter::ConvertToFile()
{
    if (InputDocumentType_ == TFaxInputDocumentType::idShell) {
        ShellPrint();
        return;
    }
    CheckKind();
    CreateData();
    CheckException(this, acConvertToFile(*Data_, DocumentFile_, OutFileName_));
}

void TApdCustomFaxConverter::ShellPrint()
{
    std::error_code ec;
    if (DocumentFile_.empty() || !std::filesystem::is_regular_file(DocumentFile_, ec))
        CheckException(this, AdErr::ecFileNotFound);
    // The backend runs elsewhere: it needs the whole name.
    const std::string out =
        std::filesystem::absolute(acOutputName(DocumentFile_, OutFileName_), ec).string();
    using FaxPrinter::TShellOutcome;
    bool started = false;
    // The status event is the caller's way to stop the wait, as for the
    // other kinds.
    const auto aborted = [&] {
        bool abort = false;
        Status(!started, false, 0, 0, 0, 0, abort);
        started = true;
        return abort;
    };
    const FaxPrinter::TShellResult result = FaxPrinter::PrintToFaxFile(
        DocumentFile_, out, Resolution_ == TFaxResolution::frHigh, ShellTimeout, aborted);
    bool ignored = false;
    Status(false, true, 0, 0, 0, 0, ignored);
    switch (result.Outcome) {
    case TShellOutcome::soDone:
        return;
    case TShellOutcome::soNoService:
        throw ENotSupported(AdErr::ecNotSupported, result.Text);
    case TShellOutcome::soNoPrinter:
        throw ENotSupported(AdErr::ecNotSupported, "printer not installed");
    case TShellOutcome::soTimedOut:
        throw ETimeout(AdErr::ecTimeout, result.Text);
    case TShellOutcome::soAborted:
        CheckException(this, AdErr::ecConvertAbort);
        return;
    case TShellOutcome::soFailed:
        break;
    }
    throw EInOutError(-AdErr::ecDeviceWrite, result.Text);
}

void TApdCustomFaxConverter::ConvertBitmapToFile(const QImage& bitmap)
{
    const TFaxInputDocumentType saved = InputDocumentType_;
    InputDocumentType_ = TFaxInputDocumentType::idBitmap;
    int rc = 0;
    try {
        CreateData();
        const std::string out = OutFileName_.empty() ? DocumentFile_ : OutFileName_;
        rc = out.empty() ? AdErr::ecBadArgument : bcSetInputBitmap(*Data_, bitmap);
        if (rc == 0)
            rc = acConvertToFile(*Data_, "", out);
    } catch (...) {
        InputDocumentType_ = saved;
        DestroyData();
        throw;
    }
    InputDocumentType_ = saved;
    DestroyData();
    CheckException(this, rc);
}

void TApdCustomFaxConverter::Convert()
{
    CheckKind();
    CreateData();
    CheckException(
        this, acConvert(*Data_, DocumentFile_,
                        [this](TAbsFaxCvt&, const uint8_t* data, int len, bool eop, bool more) {
                            OutputLine(data, len, eop, more);
                            return 0;
                        }));
}

void TApdCustomFaxConverter::ConvertToHighRes(const std::string& fileName)
{
    ConvertToResolution(fileName, TFaxResolution::frHigh);
}

void TApdCustomFaxConverter::ConvertToLowRes(const std::string& fileName)
{
    ConvertToResolution(fileName, TFaxResolution::frNormal);
}

void TApdCustomFaxConverter::ConvertToResolution(const std::string& fileName,
                                                 TFaxResolution resolution)
{
    const bool fine = resolution == TFaxResolution::frHigh;
    TApdFaxUnpacker unpacker;
    unpacker.SetInFileName(fileName);
    const unsigned pages = static_cast<unsigned>(unpacker.GetNumPages());
    // The header goes first as a file of no pages, so the result keeps the
    // station ID and the time.
    TFaxHeaderRec header;
    CheckException(this, ApfReadHeader(fileName, header));
    header.PageCount = 0;
    header.PageOfs = kApfHeaderSize;
    const auto headerBytes = header.Encode();
    std::unique_ptr<TApfTempFolder> temp;
    try {
        temp = std::make_unique<TApfTempFolder>();
        WriteFileAtomic(temp->Path(0),
                        std::string_view(reinterpret_cast<const char*>(headerBytes.data()),
                                         headerBytes.size()));
    } catch (const std::system_error& e) {
        CheckException(this, FileErrorCode(e.code().value()));
    }
    std::vector<std::string> parts{temp->Path(0)};
    for (unsigned p = 1; p <= pages; ++p) {
        TPageHeaderRec ph;
        CheckException(this, ApfReadPageHeader(fileName, p, ph));
        const std::string part = temp->Path(p);
        parts.push_back(part);
        unpacker.SetOutFileName(part);
        if (ph.Fine() == fine) {
            unpacker.ExtractPage(p);
            continue;
        }
        // Standard to fine: each line twice; fine to standard: every second.
        unpacker.AutoScaleMode = fine ? TAutoScaleMode::asDoubleHeight : TAutoScaleMode::asNone;
        unpacker.Scaling = !fine;
        unpacker.SetVertDiv(fine ? 1 : 2);
        const QImage bitmap = unpacker.UnpackPageToBitmap(p);
        TApdFaxConverter cvt;
        cvt.SetOptions(0);
        cvt.SetLeftMargin(0);
        cvt.SetResolution(resolution);
        cvt.SetWidth(ph.Wide() ? TFaxWidth::fwWide : TFaxWidth::fwNormal);
        cvt.SetOutFileName(part);
        cvt.ConvertBitmapToFile(bitmap);
    }
    CheckException(this, ApfJoinFiles(parts, fileName));
}

void TApdCustomFaxConverter::OpenFile()
{
    CheckKind();
    CreateData();
    CheckException(this, acOpenFile(*Data_, ForceDefaultExt(DocumentFile_, Data_->DefExt)));
    FileOpen_ = true;
}

void TApdCustomFaxConverter::CloseFile()
{
    if (Data_ && FileOpen_)
        acCloseFile(*Data_);
    FileOpen_ = false;
}

void TApdCustomFaxConverter::GetRasterLine(uint8_t* data, int& len, bool& endOfPage,
                                           bool& morePages)
{
    if (!Data_ || !FileOpen_)
        CheckException(this, AdErr::ecBadArgument);
    CheckException(this, acGetRasterLine(*Data_, data, len, endOfPage, morePages));
}

void TApdCustomFaxConverter::CompressRasterLine(const uint8_t* source, uint8_t* dest, int& len)
{
    if (!Data_)
        CreateData();
    acCompressRasterLine(*Data_, source);
    len = static_cast<int>(Data_->ByteOfs);
    std::memcpy(dest, Data_->DataLine.data(), Data_->ByteOfs);
}

void TApdCustomFaxConverter::MakeEndOfPage(uint8_t* dest, int& len)
{
    if (!Data_)
        CreateData();
    acMakeEndOfPage(*Data_, dest, len);
}

void TApdCustomFaxConverter::Status(bool starting, bool ending, int pages, int lines, int bytes,
                                    int total, bool& abort)
{
    if (OnStatus)
        OnStatus(this, starting, ending, pages, lines, bytes, total, abort);
}

void TApdCustomFaxConverter::OutputLine(const uint8_t* data, int len, bool endOfPage,
                                        bool morePages)
{
    if (OnOutputLine)
        OnOutputLine(this, data, len, endOfPage, morePages);
}

void TApdCustomFaxConverter::OpenUserFile(const std::string& fileName)
{
    if (OnOpenUserFile)
        OnOpenUserFile(this, fileName);
}

void TApdCustomFaxConverter::CloseUserFile()
{
    if (OnCloseUserFile)
        OnCloseUserFile(this);
}

void TApdCustomFaxConverter::ReadUserLine(uint8_t* data, int& len, bool& endOfPage, bool& morePages)
{
    if (OnReadUserLine) {
        OnReadUserLine(this, data, len, endOfPage, morePages);
    } else {
        len = 0;
        endOfPage = true;
        morePages = false;
    }
}

// ---------------------------------------------------------------- unpacker

TApdCustomFaxUnpacker::TApdCustomFaxUnpacker(QObject* owner) : TApdBaseComponent(owner) {}

TApdCustomFaxUnpacker::~TApdCustomFaxUnpacker() = default;

void TApdCustomFaxUnpacker::SetOptions(TUnpackerOptions value)
{
    Options_ = value;
    if (Data_) {
        upOptionsOff(*Data_, ufYield | ufAbort);
        upOptionsOn(*Data_, static_cast<uint16_t>(((value & uoYield) ? ufYield : 0) |
                                                  ((value & uoAbort) ? ufAbort : 0)));
    }
}

void TApdCustomFaxUnpacker::SetHorizMult(unsigned value)
{
    if (value != 0)
        HorizMult_ = value;
}

void TApdCustomFaxUnpacker::SetHorizDiv(unsigned value)
{
    if (value != 0)
        HorizDiv_ = value;
}

void TApdCustomFaxUnpacker::SetVertMult(unsigned value)
{
    if (value != 0)
        VertMult_ = value;
}

void TApdCustomFaxUnpacker::SetVertDiv(unsigned value)
{
    if (value != 0)
        VertDiv_ = value;
}

void TApdCustomFaxUnpacker::SetInFileName(const std::string& value)
{
    InFileName_ = value;
    OutFileName_ = WithoutExt(value);
}

void TApdCustomFaxUnpacker::CreateData()
{
    upInitFaxUnpacker(
        Data_, nullptr,
        [this](TUnpackFax&, int flags, const uint8_t* data, unsigned len, unsigned page) {
            OutputLine(flags & upStarting, flags & upEnding, data, static_cast<int>(len),
                       static_cast<int>(page));
            return 0;
        });
    TUnpackFax& u = *Data_;
    u.Flags = 0;
    uint16_t flags = 0;
    if (Options_ & uoYield)
        flags |= ufYield;
    if (Options_ & uoAbort)
        flags |= ufAbort;
    if (AutoScaleMode == TAutoScaleMode::asDoubleHeight)
        flags |= ufDoubleHeight;
    else if (AutoScaleMode == TAutoScaleMode::asHalfWidth)
        flags |= ufHalfWidth;
    upOptionsOn(u, flags);
    if (WhitespaceCompression)
        CheckException(this, upSetWhitespaceCompression(u, WhitespaceFrom, WhitespaceTo));
    if (Scaling)
        upSetScaling(u, HorizMult_, HorizDiv_, VertMult_, VertDiv_);
    upSetStatusCallback(u, [this](TUnpackFax&, const std::string& name, unsigned page,
                                  uint32_t done, uint32_t total) {
        Status(name, static_cast<int>(page), static_cast<int>(done), static_cast<int>(total));
    });
}

int TApdCustomFaxUnpacker::GetNumPages()
{
    CreateData();
    TFaxHeaderRec h;
    CheckException(this, upGetFaxHeader(*Data_, InFileName_, h));
    return h.PageCount;
}

bool TApdCustomFaxUnpacker::GetFaxResolution()
{
    CreateData();
    TPageHeaderRec p;
    CheckException(this, upGetPageHeader(*Data_, InFileName_, GetNumPages() > 0 ? 1 : 0, p));
    return p.Fine();
}

bool TApdCustomFaxUnpacker::GetFaxWidth()
{
    CreateData();
    TPageHeaderRec p;
    CheckException(this, upGetPageHeader(*Data_, InFileName_, GetNumPages() > 0 ? 1 : 0, p));
    return p.Wide();
}

void TApdCustomFaxUnpacker::UnpackPage(unsigned page)
{
    CreateData();
    CheckException(this, upUnpackPage(*Data_, InFileName_, page));
}

void TApdCustomFaxUnpacker::UnpackFile()
{
    CreateData();
    CheckException(this, upUnpackFile(*Data_, InFileName_));
}

unsigned TApdCustomFaxUnpacker::ScaledWidth(unsigned width, bool fine) const
{
    if (!fine && AutoScaleMode == TAutoScaleMode::asHalfWidth)
        width /= 2;
    if (Scaling)
        width = static_cast<unsigned>(uint64_t{width} * HorizMult_ / HorizDiv_);
    return width;
}

QImage TApdCustomFaxUnpacker::Finish(const TMemoryBitmapDesc& desc, unsigned width, unsigned page,
                                     bool fine)
{
    unsigned height = desc.Height;
    if (desc.Bitmap.isNull()) {
        height = fine || AutoScaleMode == TAutoScaleMode::asDoubleHeight ? kA4FineLines
                                                                         : kA4StandardLines;
        if (Scaling)
            height = static_cast<unsigned>(uint64_t{height} * VertMult_ / VertDiv_);
        if (OnBlankPage)
            OnBlankPage(this, static_cast<int>(page));
    }
    width = std::max({width, desc.Width, 1u});
    QImage image(static_cast<int>(width), static_cast<int>(std::max(height, 1u)),
                 QImage::Format_Mono);
    if (image.isNull())
        CheckException(this, AdErr::ecCantMakeBitmap);
    // As a monochrome device bitmap keeps it: 1 = white.
    image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    image.fill(1);
    const std::size_t bytes = desc.Width / 8;
    for (unsigned y = 0; y < height && !desc.Bitmap.isNull(); ++y)
        std::memcpy(image.scanLine(static_cast<int>(y)),
                    desc.Bitmap.constScanLine(static_cast<int>(y)), bytes);
    return image;
}

QImage TApdCustomFaxUnpacker::UnpackPageToBitmap(unsigned page)
{
    CreateData();
    TPageHeaderRec ph;
    CheckException(this, upGetPageHeader(*Data_, InFileName_, page, ph));
    TMemoryBitmapDesc desc;
    CheckException(this, upUnpackPageToBitmap(*Data_, InFileName_, page, desc, true));
    return Finish(desc, ScaledWidth(ph.LineWidth(), ph.Fine()), page, ph.Fine());
}

QImage TApdCustomFaxUnpacker::UnpackFileToBitmap()
{
    const int pages = GetNumPages();
    unsigned width = 0;
    bool fine = true;
    for (int p = 1; p <= pages; ++p) {
        TPageHeaderRec ph;
        CheckException(this, upGetPageHeader(*Data_, InFileName_, static_cast<unsigned>(p), ph));
        width = std::max(width, ScaledWidth(ph.LineWidth(), ph.Fine()));
        fine = fine && ph.Fine();
    }
    CreateData();
    TMemoryBitmapDesc desc;
    CheckException(this, upUnpackFileToBitmap(*Data_, InFileName_, desc, true));
    return Finish(desc, width, 0, fine);
}

std::string TApdCustomFaxUnpacker::BmpName() const
{
    return OutFileName_.empty() ? ForceExt(InFileName_, "BMP")
                                : ForceDefaultExt(OutFileName_, "BMP");
}

void TApdCustomFaxUnpacker::UnpackPageToBmp(unsigned page)
{
    CheckException(this, WriteMonoBmp(UnpackPageToBitmap(page), BmpName()));
}

void TApdCustomFaxUnpacker::UnpackFileToBmp()
{
    CheckException(this, WriteMonoBmp(UnpackFileToBitmap(), BmpName()));
}

void TApdCustomFaxUnpacker::UnpackPageToPcx(unsigned page)
{
    CreateData();
    CheckException(this, upUnpackPageToPcx(*Data_, InFileName_, OutFileName_, page));
}

void TApdCustomFaxUnpacker::UnpackFileToPcx()
{
    CreateData();
    CheckException(this, upUnpackFileToPcx(*Data_, InFileName_, OutFileName_));
}

void TApdCustomFaxUnpacker::UnpackPageToDcx(unsigned page)
{
    CreateData();
    CheckException(this, upUnpackPageToDcx(*Data_, InFileName_, OutFileName_, page));
}

void TApdCustomFaxUnpacker::UnpackFileToDcx()
{
    CreateData();
    CheckException(this, upUnpackFileToDcx(*Data_, InFileName_, OutFileName_));
}

void TApdCustomFaxUnpacker::UnpackPageToTiff(unsigned page)
{
    CreateData();
    CheckException(this, upUnpackPageToTiff(*Data_, InFileName_, OutFileName_, page));
}

void TApdCustomFaxUnpacker::UnpackFileToTiff()
{
    CreateData();
    CheckException(this, upUnpackFileToTiff(*Data_, InFileName_, OutFileName_));
}

bool TApdCustomFaxUnpacker::IsAnAPFFile(const std::string& fileName)
{
    return awIsAnAPFFile(fileName);
}

void TApdCustomFaxUnpacker::ExtractPage(unsigned page)
{
    std::error_code ec;
    if (InFileName_.empty() || !std::filesystem::exists(InFileName_, ec))
        CheckException(this, AdErr::ecFileNotFound);
    const std::string out =
        OutFileName_.empty() ? ForceExt(InFileName_, "APF") : ForceDefaultExt(OutFileName_, "APF");
    if (std::filesystem::weakly_canonical(out, ec) ==
        std::filesystem::weakly_canonical(InFileName_, ec))
        CheckException(this, AdErr::ecAccessDenied);
    TApfReader reader;
    CheckException(this, reader.Open(InFileName_));
    if (page == 0 || page > reader.Header().PageCount)
        CheckException(this, AdErr::ecInvalidPageNumber);
    TPageHeaderRec ph;
    CheckException(this, reader.SeekPage(page, ph));
    std::string data;
    if (!ReadWholeFile(InFileName_, data))
        CheckException(this, AdErr::ecDeviceRead);
    const uint64_t start = reader.PageOffset();
    const uint64_t size = kApfPageHeaderSize + uint64_t{ph.ImgLength};
    if (start + size > data.size())
        CheckException(this, AdErr::ecFaxBadFormat);
    // The input's header as it stands, but for one page right after it.
    std::string result = data.substr(0, kApfHeaderSize);
    result.replace(32, 6, std::string("\x01\0\x40\0\0\0", 6));
    result.append(data, start, size);
    try {
        WriteFileAtomic(out, result);
    } catch (const std::system_error& e) {
        CheckException(this, FileErrorCode(e.code().value()));
    }
}

void TApdCustomFaxUnpacker::OutputLine(bool starting, bool ending, const uint8_t* data, int len,
                                       int page)
{
    if (OnOutputLine)
        OnOutputLine(this, starting, ending, data, len, page);
}

void TApdCustomFaxUnpacker::Status(const std::string& fileName, int page, int done, int total)
{
    if (OnStatus)
        OnStatus(this, fileName, page, done, total);
}
