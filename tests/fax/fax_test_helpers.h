#pragma once

#include "fax/ad_fax_prn.h"
#include "fax/aw_fax.h"
#include "fax/fax_scratch_helpers.h"
#include "serial/ad_port.h"
#include "support/scripted_modem.h"

#include <QImage>
#include <QPainter>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Pages and tools of the fax tests: bitmaps as PBM bytes, the Debian tools
// that turn them into fax files and back, and a scratch folder per test.
namespace FaxTest {

// A 1728-pixel-wide bitmap (PBM "P4" bytes) of `lines` rows with a
// checkerboard whose cell size depends on `seed`, so pages differ.
std::string MakePbm(int lines, int seed);
// Runs a shell command; its exit status (-1 when it could not run).
int Shell(const std::string& command);
// A TIFF-F file of the pages (fine: 196 lines per inch, else 98).
void MakeTiff(const std::string& path, const std::vector<std::string>& pbms,
              const std::vector<bool>& fine);
// An APF file of the pages, each one raw MH stream (no line records) as
// pbmtog3 codes it.
void MakeApf(const std::string& path, const std::vector<std::string>& pbms,
             const std::vector<bool>& fine);
// Every page of an APF file as PBM bytes (decoded by g3topbm), with the
// page's fine flag.
std::vector<std::string> ApfPages(const std::string& path, std::vector<bool>* fine = nullptr);
// Every page of a TIFF as PBM bytes.
std::vector<std::string> TiffPages(const std::string& path);
// Whether a decoded page holds the source bitmap, with only white rows after
// it. A sender may put up to `headerRows` rows of its own header line on top,
// over the page's first rows; those first rows are not compared.
bool SamePage(const std::string& source, const std::string& decoded, int headerRows = 0);
bool HaveTool(const std::string& name);

// A printer whose sheets are drawn into a picture and only counted.
class TCountingTarget : public TFaxPrintTarget {
public:
    // Adds one to `sheets` for each sheet begun.
    explicit TCountingTarget(int& sheets) : Sheets_(sheets) {}
    bool BeginDoc(const std::string&) override { return Start(); }
    void NewPage() override;
    void EndDoc() override;
    void Abort() override { EndDoc(); }
    bool Printing() const override { return Printing_; }
    QPainter& Canvas() override { return Painter_; }
    QRect PageRect() const override { return QRect(0, 0, 85, 110); }
    int PixelsPerInch() const override { return 10; }
    bool Landscape() const override { return false; }

private:
    bool Start();
    int& Sheets_;
    QImage Sheet_{85, 110, QImage::Format_RGB32};
    QPainter Painter_;
    bool Printing_ = false;
};

} // namespace FaxTest

// ---------------------------------------------------------------------------
// The engine on a serial port, with a window that records its notifications.

namespace FaxTest {

// Modem-control lines of a pseudo-terminal: remembered, carrier as set.
class TFakeLines : public TFaxModemLines {
public:
    void SetModem(bool dtr, bool rts) override;
    bool CheckDCD() override { return Carrier; }
    bool Carrier = false;
    std::vector<std::pair<bool, bool>> Calls;
};

struct TNote {
    uint32_t Msg;
    uintptr_t WParam;
};

class TEngineHarness {
public:
    // Opens "COM<com>" on the device path.
    TEngineHarness(const std::string& devicePath, bool sending, unsigned com);
    ~TEngineHarness();

    PFaxRec FP() const { return FRun.get(); }
    TApdBaseDispatcher* Dispatcher() { return FPort.GetDispatcher(); }
    // Runs the GUI thread until the finish message came; false on time-out.
    bool WaitFinish(int timeoutMs);
    bool Finished() const { return FFinished; }
    std::vector<TNote> Notes() const { return FNotes; }
    std::vector<int32_t> Errors() const;
    std::vector<int32_t> Logs() const;
    std::vector<int32_t> Statuses() const { return FStatuses; }

    // Answers of the window.
    std::deque<TFaxEntry> NextFaxes;
    bool Accept = true;
    std::function<std::string()> NameFile; // empty: leave naming to the engine
    TFakeLines Lines;

private:
    intptr_t Handle(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    std::unique_ptr<TFaxRec> FRun;
    TApdComPort FPort;
    std::unique_ptr<TGuiReceiver> FWindow;
    std::vector<TNote> FNotes;
    std::vector<int32_t> FStatuses;
    bool FFinished = false;
};

} // namespace FaxTest

// ---------------------------------------------------------------------------
// Pieces of a Class 2 or 2.0 modem's script for a receive.

namespace FaxTest {

// The modem passes a page: CONNECT to AT+FDR, our DC2, then the page's
// bytes with every DLE doubled and DLE ETX after.
TScriptedModem& PassPage(TScriptedModem& m, const std::string& data);
// After the last page's report: no more pages ("+FET:2"), then the next
// AT+FDR answered with the hang-up report.
TScriptedModem& EndFax(TScriptedModem& m, const std::string& hangup);

} // namespace FaxTest
