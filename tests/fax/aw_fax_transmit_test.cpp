#include "fax/aw_fax_transmit.h"
#include "fax/fax_test_helpers.h"
#include "support/fax_line.h"
#include "support/scripted_modem.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>

using namespace FaxTest;

namespace {
constexpr unsigned kCom = 73;
constexpr int kBlankTop = 8; // the blank lines the engine puts before each page

// Starts the line with our modem at end 0 and spandsp's terminal at end 1
// receiving into `tiff`; gives the modem's pseudo-terminal.
std::string StartToTerminal(TFaxLine& line, const std::string& tiff)
{
    const std::string pty = line.AddModem(0);
    TFaxLine::TTerminalSetup t;
    t.ReceiveTiff = tiff;
    line.AddTerminal(1, t);
    line.Speed = 3;
    line.Start();
    return pty;
}
} // namespace

// Our transmitter through the Class 1 line to spandsp's fax terminal, to a
// number written with the blanks, parentheses and hyphen that modems
// refuse in a dial string.
TEST(FaxTransmit, Class1ToSpandspTerminal)
{
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(80, 1), MakePbm(60, 2)};
    MakeApf(dir.Path("out.apf"), pages, {false, false});
    TFaxLine line;
    const std::string pty = StartToTerminal(line, dir.Path("got.tif"));

    TEngineHarness h(pty, true, kCom);
    h.NextFaxes.push_back({"+49 (30) 1234-567", dir.Path("out.apf"), ""});
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetModemFeatures(h.FP(), 14400, '0');
    afStartFax(h.FP(), fPrepareFaxTransmit, fFaxTransmit);
    ASSERT_TRUE(h.WaitFinish(90000));
    EXPECT_TRUE(line.WaitTerminal(1, 10000));
    line.Stop();
    EXPECT_NE(line.ModemLog(0).find("ATDT+49301234567\n"), std::string::npos) << line.ModemLog(0);
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(h.FP()->PData->Error, 0);
    const auto r = line.TerminalResult(1);
    EXPECT_EQ(r.Completion, 0);
    EXPECT_EQ(r.PagesRx, 2);
    EXPECT_EQ(r.RemoteIdent, "SKIPMAIL TEST");
    const auto got = TiffPages(dir.Path("got.tif"));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(SamePage(pages[0], got[0], kBlankTop));
    EXPECT_TRUE(SamePage(pages[1], got[1], kBlankTop));
}

// A page the receiver rejects (RTN) goes again, one speed lower, and only
// then the next page: a Class 1 session scripted by hand, byte for byte.
TEST(FaxTransmit, RejectedPageIsSentAgainLower)
{
    TScratch dir;
    const std::string page1("\x00\x80\x11\x22", 4), page2("\x00\x80\x33\x44", 4);
    {
        TApfWriter w;
        w.Create(dir.Path("out.apf"));
        for (const std::string* p : {&page1, &page2}) {
            w.BeginPage(0);
            w.AddData(reinterpret_cast<const uint8_t*>(p->data()), p->size());
            w.EndPage();
        }
        w.Close("TEST");
    }
    const std::string dle_etx("\x10\x03", 2);
    const std::string fcs("\r\n", 2); // a frame is no line: CR LF inside stays
    auto frame = [&](const std::string& octets) { return octets + fcs + dle_etx; };
    std::string csi("\xFF\x03\x40", 3);
    csi += "          1 ETOMER"; // "REMOTE 1", last character first
    csi += "  ";
    const std::string dis("\xFF\x13\x80\x00\x4E\x70\x00", 7); // up to 9600, fine
    std::string tsi("\xFF\x03\x43", 3);
    tsi += std::string(7, ' ') + "TSET LIAMPIKS";
    const std::string dcs96("\xFF\x13\x83\x00\x06\xF8\x00", 7);
    const std::string dcs72("\xFF\x13\x83\x00\x0E\xF8\x00", 7);

    TScriptedModem m;
    m.Answer("ATE0Q0V1X4S0=0S2=43", {"OK"})
        .Answer("AT+FCLASS=1", {"OK"})
        .Answer("AT+FTM=?", {"24,48,72,96", "OK"})
        .Answer("AT+FCLASS=1", {"OK"})
        .Answer("ATDT555", {"CONNECT"})
        .Send(frame(csi))
        .Result("OK")
        .Answer("AT+FRH=3", {"CONNECT"})
        .Send(frame(dis))
        .Result("OK")
        .Answer("AT+FTH=3", {"CONNECT"})
        .Expect(tsi + dle_etx)
        .Result("CONNECT");
    auto train = [&](const std::string& dcs, const char* mod, int slot) {
        m.Expect(dcs + dle_etx)
            .Result("OK")
            .Answer(std::string("AT+FTM=") + mod, {"CONNECT"})
            .CaptureDleData(slot)
            .Result("OK")
            .Answer("AT+FRH=3", {"CONNECT"})
            .Send(frame("\xFF\x13\x84"))
            .Result("OK");
    };
    auto page = [&](const char* mod, const std::string& postPage, int slot) {
        m.Answer(std::string("AT+FTM=") + mod, {"CONNECT"})
            .CaptureDleData(slot)
            .Result("OK")
            .Answer("AT+FTH=3", {"CONNECT"})
            .Expect(postPage + dle_etx)
            .Result("OK")
            .ExpectCommand("AT+FRH=3");
    };
    train(dcs96, "96", 0);
    page("96", "\xFF\x13\x4F", 1);                                // MPS
    m.Result("CONNECT").Send(frame("\xFF\x13\x4C")).Result("OK"); // RTN
    m.Answer("AT+FTH=3", {"CONNECT"});
    train(dcs72, "72", 2);
    page("72", "\xFF\x13\x4F", 3);
    m.Result("CONNECT").Send(frame("\xFF\x13\x8C")).Result("OK"); // MCF
    page("72", "\xFF\x13\x2F", 4);                                // EOP
    m.Result("CONNECT").Send(frame("\xFF\x13\x8C")).Result("OK");
    m.Answer("AT+FTH=3", {"CONNECT"})
        .Expect(std::string("\xFF\x13\xFB", 3) + dle_etx)
        .Result("OK")
        .Answer("ATH", {"OK"});
    m.Start();

    TEngineHarness h(m.SlavePath(), true, kCom + 1);
    h.NextFaxes.push_back({"555", dir.Path("out.apf"), ""});
    fSetClassType(h.FP(), ClassType::ctClass1);
    afStartFax(h.FP(), fPrepareFaxTransmit, fFaxTransmit);
    ASSERT_TRUE(h.WaitFinish(60000));
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(h.Logs(), (std::vector<int32_t>{lfaxTransmitStart, lfaxTransmitOk}));
    EXPECT_EQ(h.FP()->PData->RemoteID, "REMOTE 1");
    // Training checks of 9600 and 7200 bps; page 1 twice, then page 2.
    EXPECT_EQ(Unstuff(m.Captured(0)), std::string(9600 / 100 * 18, '\0'));
    EXPECT_EQ(Unstuff(m.Captured(2)), std::string(7200 / 100 * 18, '\0'));
    auto tail = [](const std::string& raw, std::size_t n) {
        return Unstuff(raw).substr(Unstuff(raw).size() - n);
    };
    EXPECT_EQ(tail(m.Captured(1), 4), page1);
    EXPECT_EQ(tail(m.Captured(3), 4), page1);
    EXPECT_EQ(tail(m.Captured(4), 4), page2);
}

// A text cover and a header line, drawn by the engine, through spandsp.
TEST(FaxTransmit, TextCoverAndHeaderLine)
{
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(40, 2)};
    MakeApf(dir.Path("out.apf"), pages, {false});
    WriteFile(dir.Path("cover.txt"), "To: $R\r\nFrom $F\n\nPages: $N\r");
    TFaxLine line;
    const std::string pty = StartToTerminal(line, dir.Path("got.tif"));

    TEngineHarness h(pty, true, kCom + 2);
    h.NextFaxes.push_back({"555", dir.Path("out.apf"), dir.Path("cover.txt")});
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetHeaderText(h.FP(), "Page $P of $N");
    afSetRecipientName(h.FP(), "Bob");
    afSetSenderName(h.FP(), "Ann");
    afStartFax(h.FP(), fPrepareFaxTransmit, fFaxTransmit);
    ASSERT_TRUE(h.WaitFinish(90000));
    line.Stop();
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    const auto got = TiffPages(dir.Path("got.tif"));
    ASSERT_EQ(got.size(), 2u);
    const int header = 16;
    // Rows with ink: header band on both pages, four cover lines (one empty).
    auto inkRows = [](const std::string& pbm) {
        std::istringstream in(pbm);
        std::string magic;
        int w = 0, rows = 0;
        in >> magic >> w >> rows;
        in.get();
        std::vector<bool> ink;
        std::string row(static_cast<std::size_t>(w / 8), '\0');
        for (int r = 0; r < rows && in.read(row.data(), static_cast<std::streamsize>(row.size()));
             ++r)
            ink.push_back(row.find_first_not_of('\0') != std::string::npos);
        return ink;
    };
    const auto cover = inkRows(got[0]);
    ASSERT_GE(cover.size(), static_cast<std::size_t>(kBlankTop + 5 * header));
    auto band = [&](const std::vector<bool>& ink, int from) {
        return std::any_of(ink.begin() + from, ink.begin() + from + header,
                           [](bool b) { return b; });
    };
    EXPECT_FALSE(band(cover, 0) && cover[0]);
    EXPECT_TRUE(band(cover, kBlankTop));               // header line
    EXPECT_TRUE(band(cover, kBlankTop + header));      // "To: Bob"
    EXPECT_TRUE(band(cover, kBlankTop + 2 * header));  // "From Ann"
    EXPECT_FALSE(band(cover, kBlankTop + 3 * header)); // empty line
    EXPECT_TRUE(band(cover, kBlankTop + 4 * header));  // "Pages: 2"
    EXPECT_TRUE(SamePage(pages[0], got[1], kBlankTop + header));
    // "Page 1 of 2" and "Page 2 of 2" differ.
    EXPECT_NE(got[0].substr(0, 500 + 24 * 216), got[1].substr(0, 500 + 24 * 216));
}

// Every bit rate, standard and fine resolution, from our transmitter to
// spandsp's terminal.
class FaxTransmitRates : public testing::TestWithParam<int> {};

TEST_P(FaxTransmitRates, PageArrivesAtThatRate)
{
    const int rate = GetParam();
    const bool fine = rate == 4800 || rate == 9600 || rate == 14400;
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(fine ? 60 : 30, rate / 2400)};
    MakeApf(dir.Path("out.apf"), pages, {fine});
    TFaxLine line;
    const std::string pty = StartToTerminal(line, dir.Path("got.tif"));
    TEngineHarness h(pty, true, kCom + 3);
    h.NextFaxes.push_back({"555", dir.Path("out.apf"), ""});
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetModemFeatures(h.FP(), rate, '0');
    afStartFax(h.FP(), fPrepareFaxTransmit, fFaxTransmit);
    ASSERT_TRUE(h.WaitFinish(90000));
    ASSERT_TRUE(line.WaitTerminal(1, 10000));
    line.Stop();
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    const auto r = line.TerminalResult(1);
    EXPECT_EQ(r.Completion, 0);
    EXPECT_EQ(r.BitRate, rate);
    int32_t bitRate = 0;
    bool gotFine = false, ecm = true;
    fGetSessionParams(h.FP(), bitRate, gotFine, ecm);
    EXPECT_EQ(bitRate, rate);
    EXPECT_EQ(gotFine, fine);
    const auto got = TiffPages(dir.Path("got.tif"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(SamePage(pages[0], got[0], kBlankTop));
}

INSTANTIATE_TEST_SUITE_P(EachRate, FaxTransmitRates,
                         testing::Values(2400, 4800, 7200, 9600, 12000, 14400));
