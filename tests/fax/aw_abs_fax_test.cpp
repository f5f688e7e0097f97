#include "fax/fax_test_helpers.h"

#include <QDate>
#include <QLocale>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace FaxTest;

namespace {
std::unique_ptr<TFaxRec> BareRun()
{
    auto rec = std::make_unique<TFaxRec>();
    cInitC12AbsData(rec->CData);
    afInitFaxData(rec->PData, "STATION", nullptr, {});
    return rec;
}
} // namespace

TEST(FaxHeader, TokensRunToTheNextBlank)
{
    auto rec = BareRun();
    TFaxData& D = *rec->PData;
    D.PageCount = 2;
    D.CoverCount = 1;
    D.OnCover = true;
    D.CurrentPage = 1;
    EXPECT_EQ(afConvertHeaderString(rec.get(), "Page $P of $N"), "Page 1 of 3");
    D.OnCover = false;
    EXPECT_EQ(afConvertHeaderString(rec.get(), "Page $P of $N"), "Page 2 of 3");
    D.CoverCount = 0;
    EXPECT_EQ(afConvertHeaderString(rec.get(), "Page $p of $n"), "Page 1 of 2");

    D.SenderName = "Ann $P";
    D.RecipientName = "Bob";
    D.Title = "Hi";
    // "$F/$R" is one token; replaced text is not scanned again.
    EXPECT_EQ(afConvertHeaderString(rec.get(), "$$ $F/$R $S $I $Q|"), "$ Ann $P Hi STATION ");
    const std::string today =
        QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat).toStdString();
    EXPECT_EQ(afConvertHeaderString(rec.get(), "$Dxyz end"), today + " end");
    EXPECT_EQ(afConvertHeaderString(rec.get(), "$$P"), "$");
}

TEST(FaxNaming, CountsUpInTheDestinationAndNeverLeavesIt)
{
    TScratch dir;
    auto rec = BareRun();
    afSetDestinationDir(rec.get(), dir.Dir());
    EXPECT_EQ(afFaxNameCount(rec.get()), dir.Path("FAX0001.APF"));
    WriteFile(dir.Path("FAX0001.APF"), "x");
    WriteFile(dir.Path("FAX0002.APF"), "x");
    EXPECT_EQ(afFaxNameCount(rec.get()), dir.Path("FAX0003.APF"));
    const QDate d = QDate::currentDate();
    char md[5];
    std::snprintf(md, sizeof md, "%02d%02d", d.month(), d.day());
    EXPECT_EQ(afFaxNameMD(rec.get()), dir.Path(std::string(md) + "0001.APF"));

    for (int n = 3; n <= 9999; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "FAX%04d.APF", n);
        WriteFile(dir.Path(name), "");
    }
    EXPECT_EQ(afFaxNameCount(rec.get()), dir.Path("FAX10000.APF"));
}

TEST(FaxList, EntriesComeInOrderOnce)
{
    auto rec = BareRun();
    afAddFaxEntry(rec.get(), "1", "a.apf", "");
    afAddFaxEntry(rec.get(), std::string(50, '9'), "b.apf", "c.txt");
    std::string n, f, c;
    ASSERT_TRUE(afNextFaxList(rec.get(), n, f, c));
    EXPECT_EQ(f, "a.apf");
    ASSERT_TRUE(afNextFaxList(rec.get(), n, f, c));
    EXPECT_EQ(n, std::string(40, '9'));
    EXPECT_EQ(c, "c.txt");
    EXPECT_FALSE(afNextFaxList(rec.get(), n, f, c));
    afClearFaxEntries(rec.get());
    EXPECT_FALSE(afNextFaxList(rec.get(), n, f, c));
}

// A window that does not answer in time gets the safe defaults.
TEST(FaxNotify, SilentWindowGetsSafeDefaults)
{
    TScratch dir;
    auto rec = BareRun();
    TGuiReceiver window([](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return 0;
    });
    afSetWindow(rec.get(), window.Target());
    afSetDestinationDir(rec.get(), dir.Dir());
    bool next = true, accept = false;
    std::thread engine([&] {
        next = afNextFax(rec.get());
        accept = afAcceptFax(rec.get(), "REMOTE");
        afFaxName(rec.get());
    });
    // The GUI thread is busy elsewhere meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(4200));
    engine.join();
    EXPECT_FALSE(next);
    EXPECT_TRUE(accept);
    EXPECT_EQ(rec->PData->RemoteID, "REMOTE");
    EXPECT_EQ(afGetFaxName(rec.get()), dir.Path("FAX0001.APF"));
}
