#include "fax/fax_test_helpers.h"
#include "support/test_host.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace FaxTest {

namespace {
struct TPbm {
    int Width = 0;
    int Height = 0;
    std::string Bits;
};

TPbm ParsePbm(const std::string& bytes)
{
    TPbm p;
    std::istringstream in(bytes);
    std::string magic;
    in >> magic >> p.Width >> p.Height;
    if (magic != "P4" || p.Width <= 0 || p.Height < 0)
        return {};
    in.get();
    const std::size_t row = static_cast<std::size_t>((p.Width + 7) / 8);
    p.Bits.resize(row * static_cast<std::size_t>(p.Height));
    in.read(p.Bits.data(), static_cast<std::streamsize>(p.Bits.size()));
    p.Bits.resize(static_cast<std::size_t>(in.gcount()));
    return p;
}
} // namespace

std::string MakePbm(int lines, int seed)
{
    const int width = 1728;
    const int cell = 16 + 8 * (seed % 5);
    std::string bits;
    for (int y = 0; y < lines; ++y)
        for (int bx = 0; bx < width / 8; ++bx) {
            uint8_t b = 0;
            for (int k = 0; k < 8; ++k) {
                const int x = bx * 8 + k;
                const bool black =
                    x > 100 + seed * 8 && x < 1600 && ((x / cell + y / cell) % 2 == 0);
                b = static_cast<uint8_t>(b << 1 | (black ? 1 : 0));
            }
            bits += static_cast<char>(b);
        }
    return "P4\n" + std::to_string(width) + " " + std::to_string(lines) + "\n" + bits;
}

int Shell(const std::string& command)
{
    const int rc = std::system(command.c_str());
    if (rc == -1 || !WIFEXITED(rc))
        return -1;
    return WEXITSTATUS(rc);
}

void MakeTiff(const std::string& path, const std::vector<std::string>& pbms,
              const std::vector<bool>& fine)
{
    std::string list;
    for (std::size_t i = 0; i < pbms.size(); ++i) {
        const std::string base = path + ".p" + std::to_string(i);
        WriteFile(base + ".pbm", pbms[i]);
        const bool f = i < fine.size() && fine[i];
        // Raw MH, least significant bit first, then TIFF-F with that page's
        // resolution.
        if (Shell("pbmtog3 -reversebits " + base + ".pbm > " + base + ".g3 2>/dev/null") != 0 ||
            Shell("fax2tiff -1 -L -5 -R " + std::string(f ? "196" : "98") + " -o " + base +
                  ".tif " + base + ".g3 >/dev/null 2>&1") != 0)
            throw std::runtime_error("cannot make " + base + ".tif");
        list += " " + base + ".tif";
    }
    if (Shell("tiffcp" + list + " " + path + " >/dev/null 2>&1") != 0)
        throw std::runtime_error("cannot join " + path);
}

void MakeApf(const std::string& path, const std::vector<std::string>& pbms,
             const std::vector<bool>& fine)
{
    TApfWriter w;
    if (w.Create(path) != 0)
        throw std::runtime_error("cannot create " + path);
    for (std::size_t i = 0; i < pbms.size(); ++i) {
        const std::string base = path + ".p" + std::to_string(i);
        WriteFile(base + ".pbm", pbms[i]);
        if (Shell("pbmtog3 -reversebits " + base + ".pbm > " + base + ".g3 2>/dev/null") != 0)
            throw std::runtime_error("pbmtog3 failed");
        const std::string g3 = ReadFile(base + ".g3");
        const bool f = i < fine.size() && fine[i];
        if (w.BeginPage(f ? ffHighRes : 0) != 0 ||
            w.AddData(reinterpret_cast<const uint8_t*>(g3.data()), g3.size()) != 0 ||
            w.EndPage() != 0)
            throw std::runtime_error("cannot write " + path);
    }
    if (w.Close("TEST") != 0)
        throw std::runtime_error("cannot close " + path);
}

std::vector<std::string> ApfPages(const std::string& path, std::vector<bool>* fine)
{
    std::vector<std::string> pages;
    TApfReader r;
    if (r.Open(path) != 0)
        return pages;
    for (unsigned p = 1; p <= r.Header().PageCount; ++p) {
        TPageHeaderRec h;
        if (r.SeekPage(p, h) != 0)
            break;
        std::string g3;
        std::vector<uint8_t> chunk;
        while (r.ReadChunk(chunk) == 0 && !chunk.empty())
            g3.append(chunk.begin(), chunk.end());
        const std::string base = path + ".page" + std::to_string(p);
        WriteFile(base + ".g3", g3);
        Shell("g3topbm -reversebits " + base + ".g3 > " + base + ".pbm 2>/dev/null");
        pages.push_back(ReadFile(base + ".pbm"));
        if (fine)
            fine->push_back(h.Fine());
    }
    return pages;
}

std::vector<std::string> TiffPages(const std::string& path)
{
    std::vector<std::string> pages;
    const std::string prefix = path + ".split.";
    if (Shell("tiffsplit " + path + " " + prefix + " >/dev/null 2>&1") != 0)
        return pages;
    std::vector<std::string> parts;
    for (const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
        if (e.path().string().rfind(prefix, 0) == 0 && e.path().extension() == ".tif")
            parts.push_back(e.path().string());
    std::sort(parts.begin(), parts.end());
    for (const auto& p : parts) {
        Shell("tifftopnm -respectfillorder " + p + " > " + p + ".pbm 2>/dev/null");
        pages.push_back(ReadFile(p + ".pbm"));
    }
    return pages;
}

bool SamePage(const std::string& source, const std::string& decoded, int headerRows)
{
    const TPbm s = ParsePbm(source);
    const TPbm d = ParsePbm(decoded);
    if (s.Width == 0 || s.Width != d.Width)
        return false;
    const std::size_t row = static_cast<std::size_t>(s.Width / 8);
    auto rowAt = [row](const TPbm& p, int r) {
        return std::string_view(p.Bits).substr(r * row, row);
    };
    for (int skip = 0; skip <= headerRows && skip + s.Height <= d.Height; ++skip) {
        bool same = true;
        for (int r = std::max(skip, headerRows); same && r < skip + s.Height; ++r)
            same = rowAt(d, r) == rowAt(s, r - skip);
        for (int r = skip + s.Height; same && r < d.Height; ++r)
            same = rowAt(d, r).find_first_not_of('\0') == std::string_view::npos;
        if (same)
            return true;
    }
    return false;
}

bool HaveTool(const std::string& name)
{
    return Shell("command -v " + name + " >/dev/null 2>&1") == 0;
}

void TCountingTarget::NewPage()
{
    Painter_.end();
    Start();
}

void TCountingTarget::EndDoc()
{
    Painter_.end();
    Printing_ = false;
}

bool TCountingTarget::Start()
{
    ++Sheets_;
    Printing_ = Painter_.begin(&Sheet_);
    return Printing_;
}

} // namespace FaxTest

#include <QCoreApplication>
#include <QThread>

namespace FaxTest {

void TFakeLines::SetModem(bool dtr, bool rts)
{
    Calls.emplace_back(dtr, rts);
}

TEngineHarness::TEngineHarness(const std::string& devicePath, bool sending, unsigned com)
{
    setenv(("SKIPMAIL_COM" + std::to_string(com)).c_str(), devicePath.c_str(), 1);
    FPort.SetComNumber(static_cast<uint16_t>(com));
    FPort.SetAutoOpen(false);
    FPort.SetInSize(8192);
    FPort.SetOutSize(8192);
    FPort.SetOpen(true);
    FWindow = std::make_unique<TGuiReceiver>(
        [this](uint32_t msg, uintptr_t w, intptr_t l) { return Handle(msg, w, l); });
    if (sending)
        fInitC12SendFax(FRun, "SKIPMAIL TEST", FPort.GetDispatcher(), FWindow->Target());
    else
        fInitC12ReceiveFax(FRun, "SKIPMAIL TEST", FPort.GetDispatcher(), FWindow->Target());
    fSetModemLines(FRun.get(), &Lines);
}

TEngineHarness::~TEngineHarness()
{
    if (FRun && FPort.Open()) {
        afStopFax(FRun.get());
        FPort.GetDispatcher()->SetDataPointer(nullptr, 2);
    }
    FPort.SetOpen(false);
    FWindow.reset();
}

intptr_t TEngineHarness::Handle(uint32_t msg, uintptr_t wParam, intptr_t lParam)
{
    FNotes.push_back({msg, wParam});
    auto* fp = reinterpret_cast<PFaxRec>(lParam);
    switch (msg) {
    case apw_FaxNext:
        if (NextFaxes.empty())
            return 0;
        afSetNextFax(fp, NextFaxes.front().Number, NextFaxes.front().FaxFile,
                     NextFaxes.front().CoverFile);
        NextFaxes.pop_front();
        return 1;
    case apw_FaxStatus:
        FStatuses.push_back(fp->PData->StatusCode);
        return 0;
    case apw_FaxName:
        if (NameFile)
            afSetFaxName(fp, NameFile());
        return 0;
    case apw_FaxAccept:
        return Accept ? 1 : 0;
    case apw_FaxFinish:
        FFinished = true;
        return 0;
    default:
        return 0;
    }
}

bool TEngineHarness::WaitFinish(int timeoutMs)
{
    return PumpUntil([this] { return FFinished; }, timeoutMs);
}

std::vector<int32_t> TEngineHarness::Errors() const
{
    std::vector<int32_t> out;
    for (const auto& n : FNotes)
        if (n.Msg == apw_FaxError)
            out.push_back(static_cast<int32_t>(static_cast<intptr_t>(n.WParam)));
    return out;
}

std::vector<int32_t> TEngineHarness::Logs() const
{
    std::vector<int32_t> out;
    for (const auto& n : FNotes)
        if (n.Msg == apw_FaxLog)
            out.push_back(static_cast<int32_t>(n.WParam));
    return out;
}

TScriptedModem& PassPage(TScriptedModem& m, const std::string& data)
{
    std::string wire;
    for (char c : data) {
        wire += c;
        if (c == '\x10')
            wire += c;
    }
    return m.Answer("AT+FDR", {"CONNECT"}).Expect("\x12").Send(wire + "\x10\x03");
}

TScriptedModem& EndFax(TScriptedModem& m, const std::string& hangup)
{
    return m.Result("+FET:2").Result("OK").ExpectCommand("AT+FDR").Result(hangup).Result("OK");
}

} // namespace FaxTest
