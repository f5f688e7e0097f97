#include "fax/ad_fax_prn.h"
#include "fax_image_helpers.h"
#include "serial/ad_except.h"
#include "support/scripted_dialogs.h"

#include <gtest/gtest.h>

#include <QPrintDialog>
#include <QPrinter>
#include <deque>
#include <filesystem>
#include <sstream>

namespace {

// Sheets painted into pictures of 100 pixels per inch.
class SheetTarget : public TFaxPrintTarget {
public:
    bool LandscapeSheets = false;
    std::deque<QImage> Sheets;
    int Aborts = 0;
    int Ends = 0;

    bool BeginDoc(const std::string&) override
    {
        Sheets.clear();
        Start();
        return true;
    }
    void NewPage() override
    {
        Painter_.end();
        Start();
    }
    void EndDoc() override
    {
        Painter_.end();
        Printing_ = false;
        ++Ends;
    }
    void Abort() override
    {
        Painter_.end();
        Printing_ = false;
        ++Aborts;
    }
    bool Printing() const override { return Printing_; }
    QPainter& Canvas() override { return Painter_; }
    QRect PageRect() const override
    {
        return LandscapeSheets ? QRect(0, 0, 1100, 850) : QRect(0, 0, 850, 1100);
    }
    int PixelsPerInch() const override { return 100; }
    bool Landscape() const override { return LandscapeSheets; }

    // Quadrants (0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right) of
    // the current sheet that are mostly inked.
    std::vector<int> Inked() const
    {
        std::vector<int> q;
        if (Sheets.empty())
            return q;
        const QImage& s = Sheets.back();
        for (int i = 0; i < 4; ++i) {
            const int x0 = (i % 2) * s.width() / 2, y0 = (i / 2) * s.height() / 2;
            int dark = 0;
            for (int y = y0 + 100; y < y0 + s.height() / 2 - 100; y += 7)
                for (int x = x0 + 20; x < x0 + s.width() / 2 - 40; x += 7)
                    dark += qGray(s.pixel(x, y)) < 128;
            if (dark > 500)
                q.push_back(i);
        }
        return q;
    }

private:
    void Start()
    {
        QImage sheet(PageRect().size(), QImage::Format_RGB32);
        sheet.fill(Qt::white);
        Sheets.push_back(sheet);
        Painter_.begin(&Sheets.back());
        Printing_ = true;
    }
    QPainter Painter_;
    bool Printing_ = false;
};

Picture Black(unsigned lines)
{
    Picture p = MakePicture(kStandardWidth, lines);
    std::fill(p.Pixels.begin(), p.Pixels.end(), uint8_t{1});
    return p;
}

struct PrintRig {
    TScratch Dir;
    QObject Owner;
    TApdFaxPrinterLog* Log = new TApdFaxPrinterLog(&Owner);
    TApdFaxPrinter* Printer = new TApdFaxPrinter(&Owner);
    SheetTarget* Target = nullptr;

    explicit PrintRig(unsigned pages, unsigned lines = 1100)
    {
        Log->LogFileName = Dir.Path("FAXPRINT.LOG");
        std::vector<std::pair<Picture, uint16_t>> list(pages, {Black(lines), 0});
        WriteApfPages(Dir.Path("fax.apf"), list);
        auto target = std::make_unique<SheetTarget>();
        Target = target.get();
        Printer->SetPrintTarget(std::move(target));
        Printer->SetFileName(Dir.Path("fax.apf"));
    }
    // The log's verbs, in order ("started finished ").
    std::string LogVerbs() const
    {
        std::string verbs;
        std::istringstream log(ReadFile(Dir.Path("FAXPRINT.LOG")));
        std::string line;
        while (std::getline(log, line)) {
            const std::size_t at = line.rfind(" at ");
            if (line.rfind("Printing ", 0) == 0 && at != std::string::npos) {
                const std::string head = line.substr(0, at);
                verbs += head.substr(head.rfind(' ') + 1) + " ";
            }
        }
        return verbs;
    }
};

TEST(FaxPrinter, HeaderAndFooterTokens)
{
    PrintRig rig(5, 4);
    TApdFaxPrinter& p = *rig.Printer;
    EXPECT_EQ(p.ReplaceHFParams(p.FaxFooter.Caption, 2), "PAGE: 2 of 5");
    EXPECT_EQ(p.ReplaceHFParams("page $p of $n", 3), "page 3 of 5");
    EXPECT_EQ(p.ReplaceHFParams("a $Xyz b $", 1), "a  b ");
    EXPECT_EQ(p.ReplaceHFParams("$D", 1).empty(), false);
    const std::string odd = rig.Dir.Path("f$N.apf");
    std::filesystem::copy_file(rig.Dir.Path("fax.apf"), odd);
    p.SetFileName(odd);
    EXPECT_EQ(p.ReplaceHFParams(p.FaxHeader.Caption, 1), "FILE: " + odd);
    EXPECT_EQ(p.FaxPrinterLog(), rig.Log);
}

TEST(FaxPrinter, PagesShareSheetsInOrder)
{
    PrintRig rig(5);
    TApdFaxPrinter& p = *rig.Printer;
    p.MultiPage = true;
    std::vector<std::vector<int>> before;
    p.OnNextPage = [&](TApdCustomFaxPrinter*, int, int) { before.push_back(rig.Target->Inked()); };
    p.PrintFax();
    using Q = std::vector<int>;
    EXPECT_EQ(before, (std::vector<Q>{{}, {0}, {0, 1}, {0, 1, 2}, {}}));
    ASSERT_EQ(rig.Target->Sheets.size(), 2u);
    EXPECT_EQ(rig.Target->Inked(), (Q{0}));
    EXPECT_EQ(rig.Target->Ends, 1);
    EXPECT_EQ(p.CurrentPage(), 0u);
    EXPECT_EQ(rig.LogVerbs(), "started finished ");

    rig.Target->LandscapeSheets = true;
    before.clear();
    p.PrintFax();
    EXPECT_EQ(before, (std::vector<Q>{{}, {0, 2}, {}, {0, 2}, {}}));
    EXPECT_EQ(rig.Target->Sheets.size(), 3u);

    // One page per sheet, fitted.
    p.MultiPage = false;
    p.PrintFax();
    EXPECT_EQ(rig.Target->Sheets.size(), 5u);
    EXPECT_EQ(rig.Target->Inked(), (Q{0, 1, 2, 3}));
}

TEST(FaxPrinter, NothingToPrintAndEmptyRanges)
{
    PrintRig rig(0);
    rig.Printer->PrintFax();
    EXPECT_TRUE(rig.Target->Sheets.empty());
    EXPECT_FALSE(std::filesystem::exists(rig.Dir.Path("FAXPRINT.LOG")));

    PrintRig two(2, 10);
    two.Printer->FirstPage = 2;
    two.Printer->LastPage = 1;
    two.Printer->PrintFax();
    EXPECT_EQ(two.LogVerbs(), "started finished ");
    EXPECT_EQ(two.Target->Inked(), std::vector<int>{});
}

TEST(FaxPrinter, EveryFailureEndsTheJob)
{
    // A page that cannot be read: the error reaches the caller, and the
    // job is aborted, not left open.
    PrintRig rig(3, 10);
    const std::string f = ReadFile(rig.Dir.Path("fax.apf"));
    WriteFile(rig.Dir.Path("fax.apf"), f.substr(0, f.size() / 2));
    EXPECT_THROW(rig.Printer->PrintFax(), EFaxBadFormat);
    EXPECT_FALSE(rig.Target->Printing());
    EXPECT_EQ(rig.Target->Aborts, 1);
    EXPECT_EQ(rig.Printer->CurrentPage(), 0u);
    EXPECT_EQ(rig.Printer->PrintProgress(), TFaxPrintProgress::ppIdle);
    EXPECT_EQ(rig.LogVerbs(), "started failed ");

    // The operator's abort during page 2.
    PrintRig ab(3, 10);
    ab.Printer->OnNextPage = [&](TApdCustomFaxPrinter* p, int page, int) {
        if (page == 2)
            p->PrintAbort();
    };
    ab.Printer->PrintFax();
    EXPECT_EQ(ab.Target->Aborts, 1);
    EXPECT_EQ(ab.Target->Ends, 0);
    EXPECT_EQ(ab.LogVerbs(), "started aborted ");

    // A page without lines prints white and is logged; the rest still print.
    TScratch dir;
    PrintRig blank(1, 10);
    WriteApfPages(blank.Dir.Path("mixed.apf"),
                  {{Black(1100), 0}, {MakePicture(kStandardWidth, 0), 0}, {Black(1100), 0}});
    blank.Printer->SetFileName(blank.Dir.Path("mixed.apf"));
    std::vector<int> seen;
    blank.Printer->OnNextPage = [&](TApdCustomFaxPrinter*, int page, int) { seen.push_back(page); };
    blank.Printer->PrintFax();
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(blank.Target->Sheets.size(), 3u);
    EXPECT_EQ(blank.LogVerbs(), "started failed finished ");
}

TEST(FaxPrinter, PageRangeFromTheDialog)
{
    PrintRig rig(4, 10);
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("QPrintDialog", [](QDialog& d) {
        static_cast<QPrintDialog&>(d).printer()->setFromTo(2, 3);
        return int{QDialog::Accepted};
    });
    EXPECT_TRUE(rig.Printer->PrintSetup());
    EXPECT_EQ(rig.Printer->FirstPage, 2u);
    EXPECT_EQ(rig.Printer->LastPage, 3u);
}

TEST(FaxPrinter, PdfShowsHeaderFooterAndPage)
{
    TScratch dir;
    Picture bar = MakePicture(kStandardWidth, 1100);
    for (unsigned y = 500; y < 600; ++y)
        for (unsigned x = 0; x < kStandardWidth; ++x)
            bar.At(x, y) = 1;
    WriteApfPages(dir.Path("in.apf"), {{bar, 0}, {MakePicture(kStandardWidth, 10), 0}});
    TApdFaxPrinter p;
    p.SetPrintTarget(std::make_unique<TQtFaxPrintTarget>(dir.Path("out.pdf"), true));
    p.SetFileName(dir.Path("in.apf"));
    p.PrintFax();
    const std::string text = RunShell("pdftotext " + dir.Path("out.pdf") + " - 2>/dev/null");
    EXPECT_NE(text.find("FILE: " + dir.Path("in.apf")), std::string::npos) << text;
    EXPECT_NE(text.find("PAGE: 1 of 2"), std::string::npos) << text;
    EXPECT_NE(text.find("PAGE: 2 of 2"), std::string::npos) << text;
    // Page 1 rendered: the bar lies across the middle of the sheet, and the
    // header text inks the top.
    const Picture sheet = FromPbm(RunShell("pdftoppm -r 20 -f 1 -l 1 -gray " + dir.Path("out.pdf") +
                                           " 2>/dev/null | pgmtopbm -threshold"));
    ASSERT_GT(sheet.Height, 100u);
    auto inkedRow = [&](unsigned y) {
        unsigned n = 0;
        for (unsigned x = 0; x < sheet.Width; ++x)
            n += sheet.At(x, y);
        return n;
    };
    EXPECT_GT(inkedRow(sheet.Height * 50 / 100), sheet.Width * 8 / 10);
    EXPECT_EQ(inkedRow(sheet.Height * 30 / 100), 0u);
    unsigned headerInk = 0;
    for (unsigned y = 0; y < sheet.Height / 20; ++y)
        headerInk += inkedRow(y);
    EXPECT_GT(headerInk, 0u);
}

} // namespace
