#include "fax/ad_fax_cvt.h"
#include "fax/fax_shell_printer.h"
#include "private_cups_helpers.h"
#include "raster_helpers.h"
#include "serial/ad_except.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The backend as cupsd runs it: job, user, title, copies, options, with the
// raster on its standard input.
struct BackendRun {
    int Exit = -1;
    std::string Out;
    std::string Err;
};

BackendRun RunBackend(const QStringList& args, const std::string& input, const std::string& folder)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SKIPMAIL_PRINTFAX_DIR", QString::fromStdString(folder));
    p.setProcessEnvironment(env);
    p.start(SKIPMAIL_PRINTFAX_BACKEND, args);
    EXPECT_TRUE(p.waitForStarted(10000));
    p.write(input.data(), static_cast<qint64>(input.size()));
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(60000));
    BackendRun r;
    r.Exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.Out = p.readAllStandardOutput().toStdString();
    r.Err = p.readAllStandardError().toStdString();
    return r;
}

QStringList Job(const char* id, const std::string& options)
{
    return {id, "root", "letter", "1", QString::fromStdString(options)};
}

std::vector<std::string> Files(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int Pages(const std::string& apf)
{
    TApdFaxUnpacker u;
    u.SetInFileName(apf);
    return u.GetNumPages();
}

bool PageFine(const std::string& apf, unsigned page)
{
    TPageHeaderRec ph;
    EXPECT_EQ(ApfReadPageHeader(apf, page, ph), 0);
    return ph.Fine();
}

// CUPS_BACKEND_CANCEL: the job is dropped, the queue goes on.
constexpr int kCancelJob = 5;

// The fax printer folder as the install makes it, for the backend: other
// programs' jobs are written there as lp.
struct TPrintFaxFolder {
    TPrintFaxFolder()
    {
        ::chmod(Dir.Dir().c_str(), 0711);
        fs::create_directories(Folder);
        ::chmod(Folder.c_str(), 01777);
    }
    TScratch Dir;
    const std::string Folder = Dir.Path("printfax");
    TEnvVar FolderVar{"SKIPMAIL_PRINTFAX_DIR", Folder};
};

TEST(FaxPrinterBackend, WritesTheStationsFileOrOneOfItsOwn)
{
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    const std::string& folder = printFax.Folder;
    const BackendRun list = RunBackend({}, "", folder);
    EXPECT_EQ(list.Exit, 0);
    EXPECT_EQ(list.Out.rfind("direct printfax: ", 0), 0u) << list.Out;
    EXPECT_NE(list.Out.find("\"APF Fax Printer\""), std::string::npos) << list.Out;

    const Picture a = TestPattern(kStandardWidth, 80, 5), b = TestPattern(kStandardWidth, 60, 6);
    const std::string twoFine = RasterStream({{a, 196}, {b, 196}});
    fs::create_directories(dir.Path("out dir"));
    const std::string out = dir.Path("out dir/letter.apf");
    FaxPrinter::TShellSettings s;
    s.ShellName = out;
    s.ShellHandle = "h-1";
    s.Fine = false;
    FaxPrinter::WriteShellSettings(s);

    // The station's job: its name and resolution.
    BackendRun r =
        RunBackend(Job("7", "Resolution=204x196dpi skipmail-shell-handle=h-1"), twoFine, folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    ASSERT_EQ(Pages(out), 2);
    EXPECT_FALSE(PageFine(out, 1));
    EXPECT_EQ(UnpackedPage(out, 2).Height, b.Height / 2);

    // A job whose handle the file does not hold writes nothing.
    fs::remove(out);
    r = RunBackend(Job("8", "skipmail-shell-handle=h-0"), twoFine, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: "), std::string::npos) << r.Err;
    EXPECT_EQ(Files(dir.Path("out dir")), std::vector<std::string>{});

    // A request reached through a link is no request: root would follow it.
    const std::string ini = FaxPrinter::SettingsPath();
    fs::rename(ini, dir.Path("elsewhere.ini"));
    fs::create_symlink(dir.Path("elsewhere.ini"), ini);
    r = RunBackend(Job("8", "skipmail-shell-handle=h-1"), twoFine, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_EQ(Files(dir.Path("out dir")), std::vector<std::string>{});
    fs::remove(ini);
    fs::rename(dir.Path("elsewhere.ini"), ini);

    // Any other program's job: a file of its own in the folder, at the
    // resolution it was rendered at.
    r = RunBackend(Job("9", "Resolution=204x98dpi"), RasterStream({{a, 98}}), folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_FALSE(PageFine(folder + "/FAX9.APF", 1));
    EXPECT_EQ(UnpackedPage(folder + "/FAX9.APF", 1), a);

    // Nothing rendered: the reason, and no file.
    r = RunBackend(Job("10", ""), "", folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: the document gave no pages"), std::string::npos) << r.Err;
    EXPECT_EQ(Files(folder), (std::vector<std::string>{"APFPDENG.INI", "FAX9.APF"}));
}

TEST(FaxPrinterBackend, WritesAsTheUserWhoAsked)
{
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user nobody";
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    const std::string& folder = printFax.Folder;
    const std::string open = dir.Path("open"), closed = dir.Path("closed");
    fs::create_directories(open);
    fs::create_directories(closed);
    ::chmod(open.c_str(), 01777);
    ::chmod(closed.c_str(), 0755);
    const std::string page = RasterStream({{TestPattern(kStandardWidth, 20, 7), 196}});
    for (const std::string& target : {open + "/fax.apf", closed + "/fax.apf"}) {
        SCOPED_TRACE(target);
        FaxPrinter::TShellSettings s;
        s.ShellName = target;
        s.ShellHandle = "h-" + target;
        FaxPrinter::WriteShellSettings(s);
        ASSERT_EQ(::chown(FaxPrinter::SettingsPath().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        const BackendRun r =
            RunBackend(Job("3", "skipmail-shell-handle=" + s.ShellHandle), page, folder);
        struct stat st;
        if (target.rfind(open, 0) == 0) {
            EXPECT_EQ(r.Exit, 0) << r.Err;
            ASSERT_EQ(::stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, nobody->pw_uid);
        } else {
            // Not where only root may write.
            EXPECT_EQ(r.Exit, kCancelJob);
            EXPECT_NE(r.Err.find("ERROR: cannot write " + target), std::string::npos) << r.Err;
            EXPECT_EQ(Files(closed), std::vector<std::string>{});
        }
        fs::remove(FaxPrinter::SettingsPath());
    }
}

TEST(FaxPrinterBackend, ACancelledJobLeavesNoFile)
{
    TScratch dir;
    const std::string folder = dir.Path("printfax");
    fs::create_directories(folder);
    TEnvVar folderVar("SKIPMAIL_PRINTFAX_DIR", folder);
    FaxPrinter::TShellSettings s;
    s.ShellName = dir.Path("out/fax.apf");
    s.ShellHandle = "h-2";
    fs::create_directories(dir.Path("out"));
    FaxPrinter::WriteShellSettings(s);
    const std::string stream = RasterStream({{TestPattern(kStandardWidth, 400, 8), 196}});
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SKIPMAIL_PRINTFAX_DIR", QString::fromStdString(folder));
    p.setProcessEnvironment(env);
    p.start(SKIPMAIL_PRINTFAX_BACKEND, Job("4", "skipmail-shell-handle=h-2"));
    ASSERT_TRUE(p.waitForStarted(10000));
    // Half the page, and the filters stop sending: then CUPS cancels.
    p.write(stream.data(), static_cast<qint64>(stream.size() / 2));
    EXPECT_TRUE(PumpUntil([&] { return !Files(dir.Path("out")).empty(); }, 30000));
    p.terminate();
    EXPECT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), kCancelJob);
    EXPECT_EQ(p.readAllStandardError().toStdString().find("ERROR"), std::string::npos);
    EXPECT_EQ(Files(dir.Path("out")), std::vector<std::string>{});
}

TEST(FaxPrinter, WithoutThePrintSystemThePrinterIsNotInstalled)
{
    TScratch dir;
    TEnvVar server("CUPS_SERVER", dir.Path("no-scheduler.sock"));
    TEnvVar folder("SKIPMAIL_PRINTFAX_DIR", dir.Dir());
    WriteFile(dir.Path("doc.pdf"), "%PDF-1.4\n");
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(dir.Path("doc.pdf"));
    try {
        cvt.ConvertToFile();
        ADD_FAILURE() << "converted without a fax printer";
    } catch (const ENotSupported& e) {
        EXPECT_STREQ(e.what(), "printer not installed");
    }
    EXPECT_EQ(Files(dir.Dir()), std::vector<std::string>{"doc.pdf"});
}

// What the fax printer's tests need here; in CI every part must be there.
std::string Missing()
{
    if (!TPrivateCups::Possible())
        return "root, cupsd and lpadmin";
    for (const char* program : {"gs", "pdftoppm"})
        if (!HaveProgram(program))
            return program;
    if (!fs::exists("/usr/lib/cups/filter/gstoraster") &&
        !fs::exists("/usr/lib/cups/filter/pdftoraster"))
        return "cups-filters";
    return "";
}

#define NEEDS_FAX_PRINTER_TOOLS()                                                                  \
    if (const std::string missing = Missing(); !missing.empty())                                   \
    SKIP_WITHOUT_TOOL("the fax printer needs " + missing)

// A CUPS scheduler of the test's own with the fax printer folder, a
// backend that takes jobs and never answers ("stall:") and, once Install
// ran, the fax printer as scripts/fax-printer-install adds it.
class FaxPrinterRig {
public:
    TScratch Dir;
    std::string Folder = Dir.Path("printfax");
    std::optional<TEnvVar> FolderVar;
    std::optional<TPrivateCups> Cups;

    bool Start()
    {
        fs::create_directories(Folder);
        ::chmod(Folder.c_str(), 01777);
        FolderVar.emplace("SKIPMAIL_PRINTFAX_DIR", Folder);
        const std::string stall =
            Script(Dir, "stall", "[ $# -eq 0 ] && exit 0\ncat >/dev/null\nexec sleep 600\n");
        Cups.emplace(Dir, TPrivateCups::TSetup{{stall}, {{"SKIPMAIL_PRINTFAX_DIR", Folder}}});
        return Cups->Start();
    }
    bool Install()
    {
        const std::string source = std::getenv("SKIPMAIL_SOURCE_DIR");
        const std::string build = fs::path(SKIPMAIL_PRINTFAX_BACKEND).parent_path().parent_path();
        const TShellResult r = RunShellCommand("CUPS_SERVERBIN=" + Cups->Root() + "/bin " + source +
                                               "/scripts/fax-printer-install " + build);
        EXPECT_EQ(r.Status, 0) << r.Output;
        return r.Status == 0;
    }
    // The jobs of a queue that have not ended.
    std::string Waiting(const std::string& queue)
    {
        return RunShellCommand("lpstat -o " + queue).Output;
    }
};

// A page's ink as the eye sees it: where it lies, in inches from the top
// left, and how much of it there is.
struct Ink {
    double Share = 0; // square inches
    double X = 0, Y = 0;
    double Left = 0, Top = 0, Right = 0, Bottom = 0;
    std::vector<double> Cells; // black share of each inch square
};

Ink InkOf(const Picture& p, double xDpi, double yDpi, unsigned cellsAcross, unsigned cellsDown)
{
    Ink ink;
    double n = 0, sx = 0, sy = 0;
    unsigned minX = p.Width, minY = p.Height, maxX = 0, maxY = 0;
    ink.Cells.assign(cellsAcross * cellsDown, 0);
    for (unsigned y = 0; y < p.Height; ++y)
        for (unsigned x = 0; x < p.Width; ++x)
            if (p.At(x, y)) {
                ++n;
                sx += x;
                sy += y;
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
                const unsigned cx = static_cast<unsigned>(x / xDpi),
                               cy = static_cast<unsigned>(y / yDpi);
                if (cx < cellsAcross && cy < cellsDown)
                    ink.Cells[cy * cellsAcross + cx] += 1 / (xDpi * yDpi);
            }
    if (n == 0)
        return ink;
    ink.Share = n / (xDpi * yDpi);
    ink.X = sx / n / xDpi;
    ink.Y = sy / n / yDpi;
    ink.Left = minX / xDpi;
    ink.Right = maxX / xDpi;
    ink.Top = minY / yDpi;
    ink.Bottom = maxY / yDpi;
    return ink;
}

// The fax page against poppler's rendering of the PDF page: shapes in the
// same places (a page is centred on the fax line, a few pixels off), about
// as much black.
void ExpectSameInk(const std::string& apf, unsigned page, const std::string& pdf)
{
    SCOPED_TRACE(testing::Message() << "page " << page);
    const Picture fax = UnpackedPage(apf, page);
    const double faxLines = PageFine(apf, page) ? 196 : 98;
    const Picture ref = FromPbm(RunShell("pdftoppm -mono -r 204 -f " + std::to_string(page) +
                                         " -l " + std::to_string(page) + " " + pdf));
    ASSERT_GT(ref.Height, 0u);
    const unsigned across = 8, down = 11;
    const Ink got = InkOf(fax, 204, faxLines, across, down);
    const Ink want = InkOf(ref, 204, 204, across, down);
    ASSERT_GT(want.Share, 1.0);
    EXPECT_NEAR(got.Share / want.Share, 1.0, 0.1);
    for (const auto& [g, w] : {std::pair{got.X, want.X},
                               {got.Y, want.Y},
                               {got.Left, want.Left},
                               {got.Right, want.Right},
                               {got.Top, want.Top},
                               {got.Bottom, want.Bottom}})
        EXPECT_NEAR(g, w, 0.15);
    for (std::size_t i = 0; i < got.Cells.size(); ++i)
        EXPECT_NEAR(got.Cells[i], want.Cells[i], 0.12) << "inch square " << i;
}

// Two pages of the test's own, each a block, a bar and a line of text.
const char kTwoPages[] = R"(%!PS
/page { % x y w h text
  /Helvetica findfont 30 scalefont setfont 72 760 moveto show
  rectfill 300 100 36 200 rectfill showpage } def
72 200 200 150 (First page of the fax) page
330 420 180 280 (Second page) page
)";

TEST(FaxPrinter, ADocumentBecomesTheApfFileOfItsPages)
{
    NEEDS_FAX_PRINTER_TOOLS();
    FaxPrinterRig rig;
    ASSERT_TRUE(rig.Start());
    WriteFile(rig.Dir.Path("pages.ps"), kTwoPages);
    const std::string pdf = rig.Dir.Path("doc.pdf");
    RunShell("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE=a4 -dFIXEDMEDIA "
             "-sOutputFile=" +
             pdf + " " + rig.Dir.Path("pages.ps"));
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetResolution(TFaxResolution::frHigh);
    cvt.SetDocumentFile(pdf);
    // The print system is there, the fax printer not yet.
    EXPECT_THROW(cvt.ConvertToFile(), ENotSupported);

    ASSERT_TRUE(rig.Install());
    // Another printer is the default; it is left alone.
    ASSERT_EQ(rig.Cups->Admin("-p other -v stall: -E"), 0);
    ASSERT_EQ(rig.Cups->Admin("-d other"), 0);
    cvt.ConvertToFile();
    const std::string apf = rig.Dir.Path("doc.APF");
    ASSERT_EQ(Pages(apf), 2);
    EXPECT_TRUE(PageFine(apf, 1));
    ExpectSameInk(apf, 1, pdf);
    ExpectSameInk(apf, 2, pdf);
    EXPECT_EQ(RunShellCommand("lpstat -W all -o other").Output, "");

    // skip_faxcvt takes the same road; standard resolution.
    const std::string low = rig.Dir.Path("low.apf");
    const TShellResult r =
        RunShellCommand(std::string(SKIPMAIL_FAXCVT) + " --low " + pdf + " " + low + " 2>&1");
    EXPECT_EQ(r.Status, 0) << r.Output;
    EXPECT_NE(r.Output.find(low), std::string::npos);
    ASSERT_EQ(Pages(low), 2);
    EXPECT_FALSE(PageFine(low, 2));
    ExpectSameInk(low, 2, pdf);
    const FaxPrinter::TShellSettings handed =
        FaxPrinter::ReadShellSettings(rig.Folder + "/" + FaxPrinter::kSettingsFileName);
    EXPECT_EQ(handed.ShellName, low);
    EXPECT_FALSE(handed.Fine);
}

TEST(FaxPrinter, NoWordInTimeCancelsTheJobAndLeavesNoFile)
{
    NEEDS_FAX_PRINTER_TOOLS();
    FaxPrinterRig rig;
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.Install());
    ASSERT_EQ(rig.Cups->Admin("-p APF_Fax_Printer -v stall:"), 0);
    fs::create_directories(rig.Dir.Path("docs"));
    const std::string doc = rig.Dir.Path("docs/letter.ps");
    WriteFile(doc, kTwoPages);
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(doc);
    cvt.ShellTimeout = 3000;
    try {
        cvt.ConvertToFile();
        ADD_FAILURE() << "no word, yet no failure";
    } catch (const ETimeout& e) {
        EXPECT_EQ(e.ErrorCode(), AdErr::ecTimeout);
    }
    EXPECT_TRUE(PumpUntil([&] { return rig.Waiting("APF_Fax_Printer").empty(); }, 30000))
        << rig.Waiting("APF_Fax_Printer");
    EXPECT_EQ(Files(rig.Dir.Path("docs")), std::vector<std::string>{"letter.ps"});
}

TEST(FaxPrinter, ADocumentThatCannotBeRenderedFailsWithTheReason)
{
    NEEDS_FAX_PRINTER_TOOLS();
    FaxPrinterRig rig;
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.Install());
    fs::create_directories(rig.Dir.Path("docs"));
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    const auto failure = [&](const std::string& name, const std::string& bytes) {
        const std::string doc = rig.Dir.Path("docs/" + name);
        WriteFile(doc, bytes);
        cvt.SetDocumentFile(doc);
        try {
            cvt.ConvertToFile();
            ADD_FAILURE() << name << " converted";
        } catch (const EInOutError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    // The filter's own words come back, not only that the job failed.
    const std::string broken = failure("broken.pdf", "%PDF-1.4\nnot a document at all\n%%EOF\n");
    EXPECT_FALSE(broken.empty());
    EXPECT_NE(broken, "the document gave no pages");
    EXPECT_EQ(failure("empty.ps", "%!PS\n% nothing drawn, no page\n"),
              "the document gave no pages");
    EXPECT_EQ(Files(rig.Dir.Path("docs")), (std::vector<std::string>{"broken.pdf", "empty.ps"}));
    EXPECT_EQ(rig.Waiting("APF_Fax_Printer"), "");

    // The queue goes on.
    const std::string good = rig.Dir.Path("docs/good.ps");
    WriteFile(good, kTwoPages);
    cvt.SetDocumentFile(good);
    cvt.ConvertToFile();
    EXPECT_EQ(Pages(rig.Dir.Path("docs/good.APF")), 2);
}

} // namespace
