#include "fax/fax_text_input.h"

#include "fax/fax_font.h"
#include "platform/text.h"
#include "serial/ad_except.h"
#include "serial/line_reader.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr char kFormFeed = '\x0C';
constexpr std::size_t kMaxEnhFontBytes = 65536;

TFaxTextData& Text(TAbsFaxCvt& cvt)
{
    return static_cast<TFaxTextData&>(*cvt.InData);
}

const TFaxTextData& Text(const TAbsFaxCvt& cvt)
{
    return static_cast<const TFaxTextData&>(*cvt.InData);
}

std::string ExpandTabs(const std::string& line, unsigned tabStop)
{
    std::string out;
    for (char c : line) {
        if (c == '\t' && tabStop > 0)
            out.append(tabStop - out.size() % tabStop, ' ');
        else
            out += c;
    }
    return out;
}

// Width-limited pieces of a line, broken after the last blank that fits
// where there is one. `fits(n)` says whether the first n characters fit.
template <class Fits> std::vector<std::string> Wrap(std::string line, Fits fits)
{
    std::vector<std::string> pieces;
    while (!fits(line.size())) {
        std::size_t n = 1;
        while (n < line.size() && fits(n + 1))
            ++n;
        const std::size_t blank = line.rfind(' ', n);
        if (blank != std::string::npos && blank > 0) {
            pieces.push_back(line.substr(0, blank));
            line.erase(0, blank + 1);
        } else {
            pieces.push_back(line.substr(0, n));
            line.erase(0, n);
        }
    }
    pieces.push_back(line);
    return pieces;
}

QFontMetrics Metrics(const TFaxTextData& t)
{
    return QFontMetrics(t.Font);
}

// Pixels of font drawing a text line may use.
unsigned DrawWidth(const TAbsFaxCvt& cvt)
{
    const unsigned w = cvt.ResWidth - std::min(cvt.LeftMargin, cvt.ResWidth - 8);
    return cvt.UseHighRes ? w : w / 2;
}

std::vector<std::string> WrapLine(const TAbsFaxCvt& cvt, const std::string& line)
{
    const TFaxTextData& t = Text(cvt);
    if (t.IsExtended) {
        const QFontMetrics fm = Metrics(t);
        const int limit = static_cast<int>(DrawWidth(cvt));
        const QString q = ToQt(line);
        return Wrap(line, [&](std::size_t n) {
            return n <= 1 || fm.horizontalAdvance(q.left(static_cast<int>(n))) <= limit;
        });
    }
    const unsigned cw = std::max(1u, t.FontRec.PWidth);
    const std::size_t maxChars = std::max<int>(1, static_cast<int>(cvt.ResWidth / cw) -
                                                      static_cast<int>(cvt.LeftMargin / cw));
    return Wrap(line, [&](std::size_t n) { return n <= maxChars; });
}

// Reads the next file line into the pending queue, split at bare LFs.
bool ReadFileLine(TAbsFaxCvt& cvt)
{
    TFaxTextData& t = Text(cvt);
    if (!t.Reader)
        return false;
    std::string line;
    if (t.HaveAhead) {
        line = std::move(t.Ahead);
        t.HaveAhead = false;
    } else {
        line = t.Reader->NextLine();
        if (t.Reader->Eof() && line.empty())
            return false;
    }
    if (line.empty()) {
        // The reader ends a file whose last line ends in CR LF with an empty
        // line of its own: a last empty line draws nothing.
        t.Ahead = t.Reader->NextLine();
        if (t.Reader->Eof() && t.Ahead.empty())
            return false;
        t.HaveAhead = true;
    }
    cvt.BytesRead = t.Reader->BytesRead();
    cvt.BytesToRead = t.Reader->FileSize();
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    std::size_t start = 0;
    for (;;) {
        const std::size_t lf = line.find('\n', start);
        t.Pending.push_back({line.substr(start, lf - start), false, false});
        if (lf == std::string::npos)
            break;
        start = lf + 1;
    }
    return true;
}

// The next line to draw, with its form feed, tabs and wrapping done.
bool TakeTextLine(TAbsFaxCvt& cvt, std::string& out, bool& afterFormFeed)
{
    TFaxTextData& t = Text(cvt);
    if (t.Pending.empty() && !ReadFileLine(cvt))
        return false;
    TFaxTextData::TPendingLine item = std::move(t.Pending.front());
    t.Pending.pop_front();
    afterFormFeed = item.AfterFormFeed || t.NextAfterFormFeed;
    t.NextAfterFormFeed = false;
    if (item.Ready) {
        out = std::move(item.Text);
        return true;
    }
    const std::size_t ff = item.Text.find(kFormFeed);
    if (ff != std::string::npos) {
        std::string rest = item.Text.substr(ff + 1);
        item.Text.resize(ff);
        if (rest.empty())
            t.NextAfterFormFeed = true;
        else
            t.Pending.push_front({std::move(rest), true, false});
    }
    std::vector<std::string> pieces = WrapLine(cvt, ExpandTabs(item.Text, t.TabStop));
    for (std::size_t i = pieces.size(); i-- > 1;)
        t.Pending.push_front({std::move(pieces[i]), false, true});
    out = std::move(pieces[0]);
    return true;
}

void SetBit(uint8_t* raster, unsigned bit)
{
    raster[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
}

void DrawExtended(TFaxTextData& t, unsigned width, const std::string& text)
{
    QImage image(static_cast<int>(width), t.Bitmap.height(), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(t.Font);
    painter.setPen(Qt::black);
    painter.drawText(0, QFontMetrics(t.Font).ascent(), ToQt(text));
    painter.end();
    t.Bitmap = image;
}

} // namespace

TFaxTextData::~TFaxTextData() = default;

int fcInitTextConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acInitFaxConverter(cvt, nullptr, fcGetTextRasterLine, fcOpenFile, fcCloseFile, "TXT");
    cvt->InData = std::make_unique<TFaxTextData>();
    return 0;
}

int fcInitTextExConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    fcInitTextConverter(cvt);
    Text(*cvt).IsExtended = true;
    return 0;
}

void fcDoneTextConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acDoneFaxConverter(cvt);
}

void fcDoneTextExConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acDoneFaxConverter(cvt);
}

void fcSetTabStop(TAbsFaxCvt& cvt, unsigned tabStop)
{
    if (tabStop != 0)
        Text(cvt).TabStop = tabStop;
}

void fcSetLinesPerPage(TAbsFaxCvt& cvt, unsigned lines)
{
    Text(cvt).LineCount = lines;
}

int fcLoadFont(TAbsFaxCvt& cvt, const std::string&, int sizeCode, bool fine)
{
    TFaxTextData& t = Text(cvt);
    const bool standard = sizeCode == kStandardFontCode;
    t.FontRec = standard ? TFontRecord{48, 20, 3, 16} : TFontRecord{16, 12, 2, 8};
    const std::size_t offset = standard ? kFaxStandardFontOffset : 0;
    const unsigned bytes = t.FontRec.Bytes;
    t.FontPtr.assign(kFaxFontResource.begin() + static_cast<std::ptrdiff_t>(offset),
                     kFaxFontResource.begin() + static_cast<std::ptrdiff_t>(offset + 256 * bytes));
    if (fine) {
        std::vector<uint8_t> doubled(t.FontPtr.size() * 2);
        for (std::size_t c = 0; c < 256; ++c)
            for (unsigned r = 0; r < t.FontRec.Height; ++r)
                for (unsigned k = 0; k < 2; ++k)
                    std::memcpy(&doubled[c * bytes * 2 + (2 * r + k) * t.FontRec.Width],
                                &t.FontPtr[c * bytes + r * t.FontRec.Width], t.FontRec.Width);
        t.FontPtr = std::move(doubled);
        t.FontRec.Bytes *= 2;
        t.FontRec.Height *= 2;
    }
    t.FontLoaded = true;
    return 0;
}

int fcSetFont(TAbsFaxCvt& cvt, const QFont& font, bool fine)
{
    TFaxTextData& t = Text(cvt);
    QFont f = font;
    if (fine) {
        if (f.pixelSize() > 0)
            f.setPixelSize(f.pixelSize() * 2);
        else
            f.setPointSizeF(f.pointSizeF() * 2);
    }
    f.setStyleStrategy(QFont::NoAntialias);
    const QFontMetrics fm(f);
    const int height = std::max(1, fm.boundingRect(QStringLiteral("Wy")).height());
    const unsigned width = cvt.ResWidth - std::min(cvt.LeftMargin, cvt.ResWidth - 8);
    if (std::size_t{(width + 7) / 8} * static_cast<std::size_t>(height) > kMaxEnhFontBytes)
        return AdErr::ecEnhFontTooBig;
    t.Font = f;
    t.Bitmap = QImage(static_cast<int>(width), height, QImage::Format_RGB32);
    t.FontRec = TFontRecord{0, 0, (width + 7) / 8, static_cast<unsigned>(height)};
    t.FontLoaded = true;
    return 0;
}

int fcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName)
{
    TFaxTextData& t = Text(cvt);
    if (!t.FontLoaded)
        return AdErr::ecInvalidFontFile;
    auto stream = std::make_unique<std::ifstream>(fileName, std::ios::binary);
    if (!*stream)
        return FileErrorCode(errno);
    t.Stream = std::move(stream);
    t.Reader = std::make_unique<TLineReader>(*t.Stream);
    cvt.BytesRead = 0;
    cvt.BytesToRead = t.Reader->FileSize();
    t.OnLine = 0;
    t.CurRow = 0;
    t.Pending.clear();
    t.HaveAhead = false;
    t.NextAfterFormFeed = false;
    t.Deferred = false;
    t.Finished = false;
    return 0;
}

void fcCloseFile(TAbsFaxCvt& cvt)
{
    TFaxTextData& t = Text(cvt);
    t.Reader.reset();
    t.Stream.reset();
}

int fcRasterizeText(TAbsFaxCvt& cvt, const std::string& text, unsigned row, uint8_t* raster)
{
    TFaxTextData& t = Text(cvt);
    const unsigned lineBytes = cvt.ResWidth / 8;
    std::memset(raster, 0, lineBytes);
    if (row < 1 || row > t.FontRec.Height)
        return 0;
    if (t.IsExtended) {
        if (row == 1)
            DrawExtended(t, t.Bitmap.width(), text);
        const QRgb* line =
            reinterpret_cast<const QRgb*>(t.Bitmap.constScanLine(static_cast<int>(row - 1)));
        const unsigned width = static_cast<unsigned>(t.Bitmap.width());
        for (unsigned x = 0; x < width; ++x) {
            const unsigned src = cvt.UseHighRes ? x : x / 2;
            if (qGray(line[src]) < 128)
                SetBit(raster, x);
        }
        return static_cast<int>(lineBytes);
    }
    const TFontRecord& f = t.FontRec;
    const unsigned maxChars = cvt.ResWidth / f.PWidth;
    const std::size_t count = std::min<std::size_t>(text.size(), maxChars);
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* glyphRow =
            &t.FontPtr[static_cast<uint8_t>(text[i]) * f.Bytes + (row - 1) * f.Width];
        const unsigned at = static_cast<unsigned>(i) * f.PWidth;
        for (unsigned b = 0; b < f.PWidth; ++b)
            if ((glyphRow[b >> 3] >> (7 - (b & 7))) & 1)
                SetBit(raster, at + b);
    }
    return static_cast<int>((count * f.PWidth + 7) / 8);
}

int fcGetTextRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages)
{
    TFaxTextData& t = Text(cvt);
    endOfPage = false;
    morePages = true;
    if (t.CurRow == 0) {
        if (t.Deferred) {
            t.Deferred = false;
        } else {
            std::string line;
            bool afterFormFeed = false;
            if (t.Finished || !TakeTextLine(cvt, line, afterFormFeed)) {
                morePages = false;
                if (cvt.CurrLine == 1 && !t.Finished) {
                    // An empty document still gives a page with one white line.
                    t.Finished = true;
                    morePages = true;
                    std::memset(data, 0, cvt.ResWidth / 8);
                    len = static_cast<int>(cvt.ResWidth / 8);
                    return 0;
                }
                endOfPage = true;
                len = 0;
                return 0;
            }
            t.CurStr = std::move(line);
            ++t.OnLine;
            if (afterFormFeed || (t.LineCount != 0 && t.OnLine > t.LineCount)) {
                t.OnLine = 1;
                t.Deferred = true;
                endOfPage = true;
                len = 0;
                return 0;
            }
        }
        t.CurRow = 1;
    }
    len = fcRasterizeText(cvt, t.CurStr, t.CurRow, data);
    if (++t.CurRow > t.FontRec.Height)
        t.CurRow = 0;
    return 0;
}
