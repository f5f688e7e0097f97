#include "fax/ad_fax_prn.h"
#include "fax_image_helpers.h"
#include "private_cups_helpers.h"
#include "serial/ad_except.h"
#include "support/scripted_dialogs.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <optional>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

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

    // One page per sheet, fitted: on a landscape sheet an upright page
    // fills the height and keeps its shape, so the right half stays white.
    p.MultiPage = false;
    p.PrintFax();
    EXPECT_EQ(rig.Target->Sheets.size(), 5u);
    EXPECT_EQ(rig.Target->Inked(), (Q{0, 2}));
    rig.Target->LandscapeSheets = false;
    p.PrintFax();
    EXPECT_EQ(rig.Target->Inked(), (Q{0, 1, 2, 3}));
}

// The inked box of the last sheet.
QRect InkedBox(const SheetTarget& target)
{
    QRect box;
    const QImage& s = target.Sheets.back();
    for (int y = 0; y < s.height(); ++y)
        for (int x = 0; x < s.width(); ++x)
            if (qGray(s.pixel(x, y)) < 128)
                box |= QRect(x, y, 1, 1);
    return box;
}

// A one-line page (a name typed as a test fax) prints as a strip, not as
// bars stretched down the sheet; a tall page fits the sheet's height.
TEST(FaxPrinter, PagesKeepTheirProportions)
{
    // The area: 846 x 1096 at 100 pixels per inch; at most 93 % of its width.
    const int maxWidth = 846 * 93 / 100, maxHeight = 1096;
    struct Case {
        uint16_t flags;
        unsigned lines;
        int squareLines; // lines as tall as a pixel is wide
    };
    for (const Case& c : {Case{ffHighRes, 93, 93}, Case{0, 93, 186}, Case{ffHighRes, 2000, 2000},
                          Case{ffHighRes, 3000, 3000}, Case{0, 1100, 2200},
                          Case{ffHighRes | ffHighWidth, 93, 93}}) {
        PrintRig rig(0);
        const unsigned width = (c.flags & ffHighWidth) ? kWideWidth : kStandardWidth;
        Picture page = MakePicture(width, c.lines);
        std::fill(page.Pixels.begin(), page.Pixels.end(), uint8_t{1});
        WriteApfPages(rig.Dir.Path("one.apf"), {{page, c.flags}});
        rig.Printer->FaxHeader.Enabled = false;
        rig.Printer->FaxFooter.Enabled = false;
        rig.Printer->SetFileName(rig.Dir.Path("one.apf"));
        rig.Printer->PrintFax();
        const QRect box = InkedBox(*rig.Target);
        const std::string what = std::to_string(width) + " x " + std::to_string(c.lines);
        EXPECT_LE(box.width(), maxWidth) << what;
        EXPECT_LE(box.height(), maxHeight) << what;
        // Fitted: one side reaches its limit.
        EXPECT_TRUE(box.width() >= maxWidth - 2 || box.height() >= maxHeight - 2) << what;
        EXPECT_NEAR(double(box.height()) / box.width(), double(c.squareLines) / width, 0.01)
            << what;
    }

    // Without scaling: 200 lines to the inch, a tall page cut at the foot
    // rather than squeezed.
    PrintRig rig(0);
    Picture tall = MakePicture(kStandardWidth, 3000);
    for (unsigned y = 0; y < 400; ++y)
        for (unsigned x = 0; x < 100; ++x)
            tall.At(x, y) = 1;
    for (unsigned y = 2900; y < 3000; ++y)
        for (unsigned x = 0; x < 100; ++x)
            tall.At(x, y) = 1;
    WriteApfPages(rig.Dir.Path("tall.apf"), {{tall, ffHighRes}});
    rig.Printer->FaxHeader.Enabled = false;
    rig.Printer->FaxFooter.Enabled = false;
    rig.Printer->PrintScale = TFaxPrintScale::psNone;
    rig.Printer->SetFileName(rig.Dir.Path("tall.apf"));
    rig.Printer->PrintFax();
    EXPECT_EQ(InkedBox(*rig.Target), QRect(2, 2, 50, 200));
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
    EXPECT_TRUE(two.Target->Sheets.empty());
    EXPECT_EQ(two.Target->Ends, 0);
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
    EXPECT_EQ(blank.Printer->FailureText(), "page 2 holds no lines");
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
    for (unsigned y = 300; y < 800; ++y)
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
    // Page 1 rendered: the bar lies across the middle of the sheet, white
    // page above and below it, and the header text inks the top.
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
    EXPECT_EQ(inkedRow(sheet.Height * 15 / 100), 0u);
    EXPECT_EQ(inkedRow(sheet.Height * 80 / 100), 0u);
    unsigned headerInk = 0;
    for (unsigned y = 0; y < sheet.Height / 20; ++y)
        headerInk += inkedRow(y);
    EXPECT_GT(headerInk, 0u);
}

int PdfPages(const std::string& pdf)
{
    const std::string info = RunShell("pdfinfo " + pdf);
    const std::size_t at = info.find("Pages:");
    return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + 6);
}

// Without a printer each fax of a session stays in a PDF of its own name.
TEST(FaxPrintService, EachFaxPrintsThroughItsOwnPdf)
{
    TScratch dir;
    TEnvVar lp("SKIPMAIL_LP", dir.Path("no-lp"));
    WriteApfPages(dir.Path("FAX00004.APF"), {{Black(10), 0}});
    WriteApfPages(dir.Path("FAX00005.APF"), {{Black(10), 0}, {Black(10), 0}});
    TApdFaxPrinter printer;
    printer.SetFileName(dir.Path("FAX00004.APF"));
    printer.PrintFax();
    printer.SetFileName(dir.Path("FAX00005.APF"));
    printer.PrintFax();
    EXPECT_EQ(PdfPages(dir.Path("FAX00004.pdf")), 1);
    EXPECT_EQ(PdfPages(dir.Path("FAX00005.pdf")), 2);
}

// A page range with its first page after its last reaches no printer.
TEST(FaxPrintService, AnEmptyRangeSendsNothingToThePrinter)
{
    TScratch dir;
    TEnvVar lp("SKIPMAIL_LP", Script(dir, "lp", "touch \"$(dirname \"$0\")/printed\"\n"));
    WriteApfPages(dir.Path("fax.apf"), {{Black(10), 0}, {Black(10), 0}});
    TApdFaxPrinter printer;
    printer.SetFileName(dir.Path("fax.apf"));
    printer.FirstPage = 2;
    printer.LastPage = 1;
    printer.PrintFax();
    EXPECT_FALSE(std::filesystem::exists(dir.Path("printed")));
    EXPECT_FALSE(std::filesystem::exists(dir.Path("fax.pdf")));
    printer.FirstPage = 1;
    printer.PrintFax();
    EXPECT_TRUE(std::filesystem::exists(dir.Path("printed")));
}

// Somewhere to print: a CUPS scheduler of the test's own (its folders, its
// socket) with the cups-pdf printer as default when it can run here, which
// takes root; otherwise a stand-in for lp that keeps each document. In CI
// the real one must run.
class TTestPrintQueue {
public:
    explicit TTestPrintQueue(const TScratch& dir) : Dir_(dir)
    {
        Real_ = StartCups();
        if (!Real_) {
            EXPECT_EQ(std::getenv("CI"), nullptr) << "CI prints through a real CUPS queue";
            Lp_.emplace("SKIPMAIL_LP", Script(dir, "lp",
                                              "d=$(dirname \"$0\")/printed; mkdir -p \"$d\"\n"
                                              "n=$(ls \"$d\" | wc -l)\n"
                                              "for last; do :; done\n"
                                              "cp \"$last\" \"$d/$n.doc\"\n"
                                              "echo \"request id is stand-in-$n (1 file(s))\"\n"));
        }
    }
    ~TTestPrintQueue()
    {
        for (const auto& f : Printed_)
            if (Real_)
                std::filesystem::remove(f);
    }
    bool Real() const { return Real_; }
    // Jobs the queue has taken so far.
    std::size_t Jobs() const
    {
        if (!Real_) {
            std::size_t n = 0;
            std::error_code ec;
            for (auto it = std::filesystem::directory_iterator(Dir_.Path("printed"), ec);
                 !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
                ++n;
            return n;
        }
        const std::string list = RunShellCommand("lpstat -W all -o").Output;
        return static_cast<std::size_t>(std::count(list.begin(), list.end(), '\n'));
    }

    // The next document the queue printed: cups-pdf's PDF once the job is
    // done, or the stand-in's copy. Empty when none comes.
    std::string NextDocument()
    {
        std::string found;
        PumpUntil(
            [&] {
                for (const auto& e : std::filesystem::directory_iterator(OutDir(), Ignore_))
                    if (!Seen_.count(e.path().string()))
                        found = e.path().string();
                return !found.empty() &&
                       (!Real_ || RunShellCommand("lpstat -W not-completed -o").Output.empty());
            },
            60000);
        if (!found.empty()) {
            Seen_.insert(found);
            Printed_.push_back(found);
        } else if (Real_) {
            ADD_FAILURE() << Cups_->ErrorLog();
        }
        return found;
    }

private:
    std::string OutDir() const
    {
        if (!Real_)
            return Dir_.Path("printed");
        const passwd* pw = ::getpwuid(::geteuid());
        return std::string(pw ? pw->pw_dir : "/root") + "/PDF";
    }

    bool StartCups()
    {
        const std::string ppd = "/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd";
        if (!TPrivateCups::Possible() ||
            !std::filesystem::exists("/usr/lib/cups/backend/cups-pdf") ||
            !std::filesystem::exists(ppd))
            return false;
        Cups_.emplace(Dir_, TPrivateCups::TSetup{});
        if (!Cups_->Start() || Cups_->Admin("-p skipmail-pdf -v cups-pdf:/ -P " + ppd + " -E") ||
            Cups_->Admin("-d skipmail-pdf")) {
            Cups_.reset();
            return false;
        }
        for (const auto& e : std::filesystem::directory_iterator(OutDir(), Ignore_))
            Seen_.insert(e.path().string());
        return true;
    }

    const TScratch& Dir_;
    bool Real_ = false;
    std::optional<TPrivateCups> Cups_;
    std::optional<TEnvVar> Lp_;
    std::set<std::string> Seen_;
    std::vector<std::string> Printed_;
    std::error_code Ignore_;
};

TEST(FaxPrintService, FaxReachesTheDefaultPrinterAndShellDocumentsDoNot)
{
    PrintRig rig(2, 100);
    TTestPrintQueue queue(rig.Dir);
    std::cout << (queue.Real() ? "printing through a CUPS queue\n" : "printing to the stand-in\n");
    const std::string pdf = rig.Dir.Path("fax.pdf");
    rig.Printer->SetPrintTarget(std::make_unique<TQtFaxPrintTarget>(pdf));
    rig.Printer->PrintFax();
    EXPECT_EQ(rig.LogVerbs(), "started finished ");
    EXPECT_FALSE(std::filesystem::exists(pdf)); // printed, so not kept
    const std::string sheets = queue.NextDocument();
    ASSERT_FALSE(sheets.empty());
    EXPECT_EQ(PdfPages(sheets), 2);

    // The shell route prints to the fax printer alone: without it the
    // default printer gets nothing. Beside the stand-in no scheduler runs,
    // and the machine's is never asked.
    const std::size_t jobs = queue.Jobs();
    const std::string noScheduler = rig.Dir.Path("no-scheduler.sock");
    std::optional<TEnvVar> server;
    if (!queue.Real())
        server.emplace("CUPS_SERVER", noScheduler);
    const std::string letter = rig.Dir.Path("letter.txt");
    WriteFile(letter, "Dear station,\nthe fax works.\n");
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(letter);
    try {
        cvt.ConvertToFile();
        ADD_FAILURE() << "printed without the fax printer";
    } catch (const ENotSupported& e) {
        EXPECT_EQ(e.what(), queue.Real() ? std::string("printer not installed")
                                         : "cannot reach the print service (" + noScheduler + ")");
    }
    EXPECT_EQ(queue.Jobs(), jobs);
}

TEST(FaxPrintService, FailuresReachTheCallerAndWithoutPrinterThePdfStays)
{
    PrintRig rig(2, 100);
    const std::string pdf = rig.Dir.Path("fax.pdf");
    rig.Printer->SetPrintTarget(std::make_unique<TQtFaxPrintTarget>(pdf));
    const std::string letter = rig.Dir.Path("letter.txt");
    WriteFile(letter, "text\n");
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(letter);
    {
        // A print command that fails: the job ends as failed and the PDF
        // stays.
        TEnvVar lp("SKIPMAIL_LP",
                   Script(rig.Dir, "lp-fails", "echo 'lp: Error - printer jammed' >&2\nexit 1\n"));
        EXPECT_THROW(rig.Printer->PrintFax(), EInOutError);
        EXPECT_EQ(rig.LogVerbs(), "started failed ");
        EXPECT_TRUE(std::filesystem::exists(pdf));
        std::filesystem::remove(pdf);
    }
    {
        // No printer: lp's own answer where it is installed.
        std::optional<TEnvVar> noPrinter;
        if (HaveProgram("lp"))
            noPrinter.emplace("CUPS_SERVER", rig.Dir.Path("no-scheduler.sock"));
        else
            noPrinter.emplace("SKIPMAIL_LP", rig.Dir.Path("no-lp"));
        try {
            cvt.ConvertToFile();
            ADD_FAILURE() << "printed without a printer";
        } catch (const ENotSupported& e) {
            // No scheduler answers, or one without the fax printer.
            const std::string what = e.what();
            EXPECT_TRUE(what == "printer not installed" ||
                        what.rfind("cannot reach the print service", 0) == 0)
                << what;
        }
        rig.Printer->PrintFax();
        EXPECT_EQ(rig.LogVerbs(), "started failed started finished ");
        EXPECT_EQ(PdfPages(pdf), 2);
    }
    cvt.SetDocumentFile(rig.Dir.Path("missing.txt"));
    EXPECT_THROW(cvt.ConvertToFile(), EInOutError);
}

} // namespace
