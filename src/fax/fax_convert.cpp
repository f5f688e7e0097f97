#include "fax/fax_convert.h"

#include "fax/fax_t4_codes.h"
#include "serial/ad_except.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <cstring>

namespace {

void PutBits(TAbsFaxCvt& cvt, uint32_t value, unsigned length)
{
    while (length > 0) {
        const unsigned take = std::min(8 - cvt.BitOfs, length);
        cvt.DataLine[cvt.ByteOfs] |=
            static_cast<uint8_t>((value & ((1u << take) - 1)) << cvt.BitOfs);
        value >>= take;
        length -= take;
        cvt.BitOfs += take;
        if (cvt.BitOfs == 8) {
            cvt.BitOfs = 0;
            ++cvt.ByteOfs;
        }
    }
}

void PutCode(TAbsFaxCvt& cvt, const T4::TPackedCode& code)
{
    PutBits(cvt, code.Value, code.Length);
}

void PutRun(TAbsFaxCvt& cvt, unsigned run, bool black)
{
    const T4::TPackedTable& t = black ? T4::PackedBlack() : T4::PackedWhite();
    // Runs longer than the longest make-up code (wider than any fax line)
    // repeat it.
    while (run >= T4::kMaxMakeUp + 64) {
        PutCode(cvt, t.MakeUp[T4::kMaxMakeUp / 64]);
        run -= T4::kMaxMakeUp;
    }
    if (run >= 64)
        PutCode(cvt, t.MakeUp[run / 64]);
    PutCode(cvt, t.Terminating[run % 64]);
}

bool PixelAt(const uint8_t* raster, unsigned i)
{
    return (raster[i >> 3] >> (7 - (i & 7))) & 1;
}

int Status(TAbsFaxCvt& cvt, int flag)
{
    bool stop = false;
    if (cvt.StatusFunc)
        stop = cvt.StatusFunc(cvt, flag, cvt.UserData);
    else if (cvt.StatusWnd.Alive())
        stop = cvt.StatusWnd
                   .Send(apw_FaxCvtStatus, static_cast<uintptr_t>(flag),
                         reinterpret_cast<intptr_t>(&cvt), 0xFFFFFFFF)
                   .value_or(0) != 0;
    return stop ? AdErr::ecConvertAbort : 0;
}

uint16_t PageFlags(const TAbsFaxCvt& cvt)
{
    uint16_t flags = ffLengthWords;
    if (cvt.UseHighRes)
        flags |= ffHighRes;
    if (cvt.ResWidth == kWideWidth)
        flags |= ffHighWidth;
    return flags;
}

std::size_t ExtensionDot(const std::string& name)
{
    const std::size_t slash = name.find_last_of('/');
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string::npos;
    return dot;
}

} // namespace

int FaxServeQueue()
{
    auto* app = QCoreApplication::instance();
    if (!app || QCoreApplication::closingDown())
        return AdErr::ecGotQuitMsg;
    if (QThread::currentThread() == app->thread())
        QCoreApplication::processEvents();
    return QCoreApplication::closingDown() ? AdErr::ecGotQuitMsg : 0;
}

std::string ForceDefaultExt(const std::string& name, const std::string& ext)
{
    if (ext.empty() || ExtensionDot(name) != std::string::npos)
        return name;
    return name + "." + ext;
}

std::string ForceExt(const std::string& name, const std::string& ext)
{
    const std::size_t dot = ExtensionDot(name);
    return (dot == std::string::npos ? name : name.substr(0, dot)) + "." + ext;
}

void acInitFaxConverter(std::unique_ptr<TAbsFaxCvt>& cvt, void* data, TGetLineFunc getLine,
                        TOpenFileFunc openFile, TCloseFileFunc closeFile,
                        const std::string& defaultExt)
{
    cvt = std::make_unique<TAbsFaxCvt>();
    cvt->UserData = data;
    cvt->GetLine = std::move(getLine);
    cvt->OpenCall = std::move(openFile);
    cvt->CloseCall = std::move(closeFile);
    cvt->DefExt = defaultExt;
}

void acDoneFaxConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    cvt.reset();
}

void acSetOtherData(TAbsFaxCvt& cvt, void* otherData)
{
    cvt.OtherData = otherData;
}

void acOptionsOn(TAbsFaxCvt& cvt, uint16_t options)
{
    cvt.Flags |= options;
}

void acOptionsOff(TAbsFaxCvt& cvt, uint16_t options)
{
    cvt.Flags &= static_cast<uint16_t>(~options);
}

bool acOptionsAreOn(const TAbsFaxCvt& cvt, uint16_t options)
{
    return (cvt.Flags & options) == options;
}

void acSetMargins(TAbsFaxCvt& cvt, unsigned left, unsigned top)
{
    cvt.LeftMargin = left;
    cvt.TopMargin = top;
}

void acSetResolutionMode(TAbsFaxCvt& cvt, bool fine)
{
    cvt.UseHighRes = fine;
}

void acSetResolutionWidth(TAbsFaxCvt& cvt, unsigned widthCode)
{
    cvt.ResWidth = widthCode == 2 ? kWideWidth : kStandardWidth;
}

void acSetStationID(TAbsFaxCvt& cvt, const std::string& id)
{
    cvt.StationID = id.substr(0, kApfStationIdLen);
}

void acSetStatusCallback(TAbsFaxCvt& cvt, TCvtStatusFunc callback)
{
    cvt.StatusFunc = std::move(callback);
    cvt.StatusWnd = {};
}

void acSetStatusWnd(TAbsFaxCvt& cvt, TGuiTarget window)
{
    cvt.StatusWnd = std::move(window);
    cvt.StatusFunc = nullptr;
}

void acInitDataLine(TAbsFaxCvt& cvt)
{
    std::fill_n(cvt.DataLine.begin(), std::min<std::size_t>(cvt.ByteOfs + 1, kFaxLineBufSize), 0);
    cvt.ByteOfs = 0;
    cvt.BitOfs = 0;
}

void acCompressRasterLine(TAbsFaxCvt& cvt, const uint8_t* raster)
{
    acInitDataLine(cvt);
    PutBits(cvt, 0x8000, 16); // EOL after four fill bits
    const unsigned width = cvt.ResWidth;
    if (std::all_of(raster, raster + width / 8, [](uint8_t b) { return b == 0; })) {
        PutRun(cvt, width, false);
    } else {
        // The margin shifts the picture right; as many pixels drop off at
        // the right end, so the runs add up to the width.
        const unsigned margin = std::min(cvt.LeftMargin, width - 1);
        unsigned coded = 0;
        auto emit = [&](unsigned run, bool black) {
            if (cvt.DoubleWidth)
                run = std::min(run * 2, width - coded);
            PutRun(cvt, run, black);
            coded += run;
        };
        bool black = PixelAt(raster, 0);
        unsigned run = 1;
        if (black)
            emit(margin, false);
        else
            run += margin;
        const unsigned end = width - margin;
        for (unsigned i = 1; i < end; ++i) {
            // Whole bytes of the run's colour at once.
            if ((i & 7) == 0 && i + 8 <= end && raster[i >> 3] == (black ? 0xFF : 0x00)) {
                run += 8;
                i += 7;
                continue;
            }
            const bool p = PixelAt(raster, i);
            if (p == black) {
                ++run;
            } else {
                emit(run, black);
                black = p;
                run = 1;
            }
        }
        if (cvt.DoubleWidth)
            run = (width - coded) / 2;
        emit(run, black);
    }
    // Zero fill to the byte boundary and one more zero byte.
    cvt.ByteOfs += 2;
    cvt.BitOfs = 0;
}

void acMakeEndOfPage(TAbsFaxCvt&, uint8_t* out, int& len)
{
    std::memcpy(out, kApfPageEnd.data(), kApfPageEnd.size());
    len = static_cast<int>(kApfPageEnd.size());
}

int acCreateOutputFile(TAbsFaxCvt& cvt)
{
    return cvt.Writer.Create(cvt.OutFileName);
}

int acCloseOutputFile(TAbsFaxCvt& cvt)
{
    return cvt.Writer.Close(cvt.StationID);
}

int acAddData(TAbsFaxCvt& cvt, const uint8_t* data, std::size_t len)
{
    if (!cvt.Writer.InPage())
        if (const int rc = cvt.Writer.BeginPage(PageFlags(cvt)); rc != 0)
            return rc;
    return cvt.Writer.AddData(data, len);
}

int acAddLine(TAbsFaxCvt& cvt, const uint8_t* data, std::size_t len)
{
    if (!cvt.Writer.InPage())
        if (const int rc = cvt.Writer.BeginPage(PageFlags(cvt)); rc != 0)
            return rc;
    return cvt.Writer.AddLine(data, len);
}

int acOutToFileCallback(TAbsFaxCvt& cvt, const uint8_t* data, int len, bool endOfPage, bool)
{
    if (!endOfPage)
        return acAddLine(cvt, data, static_cast<std::size_t>(len));
    if (!cvt.Writer.InPage())
        if (const int rc = cvt.Writer.BeginPage(PageFlags(cvt)); rc != 0)
            return rc;
    return cvt.Writer.EndPage();
}

int acOpenFile(TAbsFaxCvt& cvt, const std::string& fileName)
{
    return cvt.OpenCall ? cvt.OpenCall(cvt, fileName) : 0;
}

void acCloseFile(TAbsFaxCvt& cvt)
{
    if (cvt.CloseCall)
        cvt.CloseCall(cvt);
}

int acGetRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages)
{
    ++cvt.CurrLine;
    if (!cvt.GetLine) {
        len = 0;
        endOfPage = true;
        morePages = false;
        return 0;
    }
    const int rc = cvt.GetLine(cvt, data, len, endOfPage, morePages);
    return rc != 0 ? rc : Status(cvt, 0);
}

std::string acOutputName(const std::string& inputName, const std::string& destName)
{
    if (!destName.empty())
        return ForceDefaultExt(destName, "APF");
    return ForceExt(inputName, "APF");
}

int acConvertToFile(TAbsFaxCvt& cvt, const std::string& inputName, const std::string& destName)
{
    cvt.OutFileName = acOutputName(ForceDefaultExt(inputName, cvt.DefExt), destName);
    int rc = acCreateOutputFile(cvt);
    if (rc == 0)
        rc = acConvert(cvt, inputName, acOutToFileCallback);
    if (rc == 0)
        return acCloseOutputFile(cvt);
    cvt.Writer.Abandon();
    return rc;
}

int acConvert(TAbsFaxCvt& cvt, const std::string& inputName, const TPutLineFunc& putLine)
{
    cvt.CurrPage = 0;
    cvt.CurrLine = 0;
    cvt.InFileName = ForceDefaultExt(inputName, cvt.DefExt);
    int rc = Status(cvt, csStarting);
    if (rc == 0)
        rc = acOpenFile(cvt, cvt.InFileName);
    if (rc != 0) {
        Status(cvt, csEnding);
        return rc;
    }
    const bool yieldOften = acOptionsAreOn(cvt, fcYield | fcYieldOften);
    const auto blank = [&] {
        return putLine(cvt, kApfBlankLine.data(), static_cast<int>(kApfBlankLine.size()), false,
                       true);
    };
    bool more = true;
    while (more && rc == 0) {
        ++cvt.CurrPage;
        cvt.CurrLine = 0;
        for (unsigned i = 0; i < cvt.TopMargin && rc == 0; ++i)
            rc = blank();
        bool endOfPage = false;
        int len = 0;
        cvt.TmpBuffer.fill(0);
        if (rc == 0)
            rc = acGetRasterLine(cvt, cvt.TmpBuffer.data(), len, endOfPage, more);
        while (rc == 0 && !endOfPage) {
            if (!cvt.HalfHeight || cvt.CurrLine % 2 == 1) {
                acCompressRasterLine(cvt, cvt.TmpBuffer.data());
                rc = putLine(cvt, cvt.DataLine.data(), static_cast<int>(cvt.ByteOfs), false, more);
            }
            if (rc == 0 && yieldOften && cvt.CurrLine % 16 == 0)
                rc = FaxServeQueue();
            cvt.TmpBuffer.fill(0);
            if (rc == 0)
                rc = acGetRasterLine(cvt, cvt.TmpBuffer.data(), len, endOfPage, more);
        }
        if (rc == 0 && cvt.PadPage)
            for (; cvt.CurrLine < kPadPageLines && rc == 0; ++cvt.CurrLine)
                rc = blank();
        if (rc == 0)
            rc = putLine(cvt, nullptr, 0, true, more);
        if (rc == 0 && (cvt.Flags & fcYield))
            rc = FaxServeQueue();
    }
    Status(cvt, csEnding);
    acCloseFile(cvt);
    return rc;
}
