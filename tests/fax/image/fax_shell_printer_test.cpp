#include "fax/ad_fax_cvt.h"
#include "fax/fax_shell_printer.h"
#include "private_cups_helpers.h"
#include "raster_helpers.h"
#include "serial/ad_except.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cups/cups.h>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <pwd.h>
#include <sstream>
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

QStringList Job(const char* id, const std::string& options, const std::string& user = "root")
{
    return {id, QString::fromStdString(user), "letter", "1", QString::fromStdString(options)};
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

// The text of the E the shell print raised; a test failure when it
// converted.
template <class E> std::string FailureOf(TApdFaxConverter& cvt)
{
    try {
        cvt.ConvertToFile();
        ADD_FAILURE() << cvt.DocumentFile() << " converted";
    } catch (const E& e) {
        return e.what();
    }
    return "";
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

// A request as the station makes it: the file `out` for job `job`.
std::unique_ptr<FaxPrinter::TShellRequest> MakeRequest(const std::string& out, int job,
                                                       bool fine = true)
{
    auto request = std::make_unique<FaxPrinter::TShellRequest>();
    FaxPrinter::TShellSettings s;
    s.ShellName = out;
    s.ShellHandle = request->Handle();
    s.Fine = fine;
    s.Job = job;
    request->Write(s);
    return request;
}

std::string HandleOption(const FaxPrinter::TShellRequest& request)
{
    return std::string(FaxPrinter::kHandleOption) + "=" + request.Handle();
}

TEST(FaxPrinterBackend, WritesTheStationsFileOnceOrOneOfItsOwn)
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
    const auto request = MakeRequest(out, 7, false);

    // The station's job: its name and resolution.
    const QStringList station = Job("7", "Resolution=204x196dpi " + HandleOption(*request));
    BackendRun r = RunBackend(station, twoFine, folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    ASSERT_EQ(Pages(out), 2);
    EXPECT_FALSE(PageFine(out, 1));
    EXPECT_EQ(UnpackedPage(out, 2).Height, b.Height / 2);

    // Served once: the same job again writes nothing.
    EXPECT_FALSE(fs::exists(request->SettingsPath()));
    fs::remove(out);
    r = RunBackend(station, twoFine, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: "), std::string::npos) << r.Err;
    EXPECT_EQ(Files(dir.Path("out dir")), std::vector<std::string>{});

    // Any other program's job: a file of its own in the folder, at the
    // resolution it was rendered at.
    r = RunBackend(Job("9", "Resolution=204x98dpi"), RasterStream({{a, 98}}), folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_FALSE(PageFine(folder + "/FAX9.APF", 1));
    EXPECT_EQ(UnpackedPage(folder + "/FAX9.APF", 1), a);

    // Nothing rendered: the reason, and no file; the station reads it from
    // its request, whatever CUPS shows last.
    r = RunBackend(Job("10", ""), "", folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: letter gave no pages"), std::string::npos) << r.Err;
    EXPECT_EQ(Files(folder), (std::vector<std::string>{"FAX9.APF", request->Handle()}));
    const auto empty = MakeRequest(out, 11);
    r = RunBackend(Job("11", HandleOption(*empty)), "", folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_EQ(empty->BackendReason(), "letter gave no pages");
    EXPECT_FALSE(fs::exists(out));
}

TEST(FaxPrinterBackend, ARequestServesOnlyTheJobItWasMadeFor)
{
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    const std::string& folder = printFax.Folder;
    fs::create_directories(dir.Path("out"));
    const std::string out = dir.Path("out/fax.apf");
    const std::string page = RasterStream({{TestPattern(kStandardWidth, 30, 9), 196}});
    const auto request = MakeRequest(out, 7);
    const std::string handle = HandleOption(*request);
    const std::string ini = request->SettingsPath();

    // Job options are shown to every user: the handle alone is no key.
    struct TStranger {
        const char* What;
        QStringList Args;
        std::function<void()> Before, After;
    };
    const std::vector<TStranger> strangers = {
        {"another job", Job("8", handle), {}, {}},
        {"another user's job", Job("7", handle, "daemon"), {}, {}},
        {"a handle out of the folder",
         Job("7", std::string(FaxPrinter::kHandleOption) + "=../" +
                      fs::path(dir.Dir()).filename().string() + "/printfax/" + request->Handle()),
         {},
         {}},
        // Root would follow a link wherever it leads.
        {"a request reached through a link", Job("7", handle),
         [&] {
             fs::rename(ini, dir.Path("elsewhere.ini"));
             fs::create_symlink(dir.Path("elsewhere.ini"), ini);
         },
         [&] {
             fs::remove(ini);
             fs::rename(dir.Path("elsewhere.ini"), ini);
         }},
        {"a request open to others", Job("7", handle),
         [&] { ::chmod(request->Path().c_str(), 0755); },
         [&] { ::chmod(request->Path().c_str(), 0700); }},
    };
    for (const TStranger& s : strangers) {
        SCOPED_TRACE(s.What);
        if (s.Before)
            s.Before();
        const BackendRun r = RunBackend(s.Args, page, folder);
        EXPECT_EQ(r.Exit, kCancelJob);
        EXPECT_NE(r.Err.find("ERROR: "), std::string::npos) << r.Err;
        EXPECT_EQ(Files(dir.Path("out")), std::vector<std::string>{});
        if (s.After)
            s.After();
        // Nor is the request used up for its own job.
        EXPECT_TRUE(fs::exists(ini));
    }
    BackendRun r = RunBackend(Job("7", handle), page, folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(Pages(out), 1);

    // A requester that has gone (killed, or given up) gets no file, and its
    // request goes with the job.
    fs::remove(out);
    auto gone = MakeRequest(out, 12);
    const std::string gonePath = gone->Path();
    gone->Abandon();
    r = RunBackend(Job("12", HandleOption(*gone)), page, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: the station gave up on this job"), std::string::npos) << r.Err;
    EXPECT_FALSE(fs::exists(gonePath));
    EXPECT_EQ(Files(dir.Path("out")), std::vector<std::string>{});
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
        const auto request = MakeRequest(target, 3);
        for (const std::string& path : {request->Path(), request->SettingsPath()})
            ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        const BackendRun r = RunBackend(Job("3", HandleOption(*request), "nobody"), page, folder);
        struct stat st;
        if (target.rfind(open, 0) == 0) {
            EXPECT_EQ(r.Exit, 0) << r.Err;
            ASSERT_EQ(::stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, nobody->pw_uid);
        } else {
            // Not where only root may write; the station hears why.
            EXPECT_EQ(r.Exit, kCancelJob);
            EXPECT_NE(r.Err.find("ERROR: cannot write " + target), std::string::npos) << r.Err;
            EXPECT_EQ(request->BackendReason().rfind("cannot write " + target, 0), 0u);
            EXPECT_EQ(Files(closed), std::vector<std::string>{});
        }
    }
}

TEST(FaxPrinterBackend, ACancelledJobOrAGoneRequesterLeavesNoFile)
{
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    fs::create_directories(dir.Path("out"));
    const std::string stream = RasterStream({{TestPattern(kStandardWidth, 400, 8), 196}});
    // Half the page, then either CUPS cancels (the filters stopped sending)
    // or the requester goes and the rest comes.
    for (const bool cancelled : {true, false}) {
        SCOPED_TRACE(cancelled ? "cancelled" : "requester gone");
        const auto request = MakeRequest(dir.Path("out/fax.apf"), 4);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SKIPMAIL_PRINTFAX_DIR", QString::fromStdString(printFax.Folder));
        p.setProcessEnvironment(env);
        p.start(SKIPMAIL_PRINTFAX_BACKEND, Job("4", HandleOption(*request)));
        ASSERT_TRUE(p.waitForStarted(10000));
        p.write(stream.data(), static_cast<qint64>(stream.size() / 2));
        EXPECT_TRUE(PumpUntil([&] { return !Files(dir.Path("out")).empty(); }, 30000));
        if (cancelled) {
            p.terminate();
        } else {
            request->Abandon();
            p.write(stream.data() + stream.size() / 2,
                    static_cast<qint64>(stream.size() - stream.size() / 2));
            p.closeWriteChannel();
        }
        EXPECT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), kCancelJob);
        const std::string err = p.readAllStandardError().toStdString();
        const std::string said = cancelled ? "" : "ERROR: the station gave up on this job\n";
        EXPECT_EQ(err, said);
        EXPECT_EQ(Files(dir.Path("out")), std::vector<std::string>{});
    }
}

TEST(FaxPrinter, AnUnreachablePrintServiceIsSaidSo)
{
    TScratch dir;
    const std::string socket = dir.Path("no-scheduler.sock");
    TEnvVar server("CUPS_SERVER", socket);
    TEnvVar folder("SKIPMAIL_PRINTFAX_DIR", dir.Dir());
    WriteFile(dir.Path("doc.pdf"), "%PDF-1.4\n");
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(dir.Path("doc.pdf"));
    EXPECT_EQ(FailureOf<ENotSupported>(cvt), "cannot reach the print service (" + socket + ")");
    EXPECT_EQ(Files(dir.Dir()), std::vector<std::string>{"doc.pdf"});
}

// What the fax printer's tests need here; in CI every part must be there.
std::string Missing()
{
    if (!TPrivateCups::Possible())
        return "root, cupsd and lpadmin";
    for (const char* program : {"gs", "pdftoppm", "setpriv"})
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

// An ordinary user of the machine with a folder of its own in the scratch
// folder, running commands as itself.
struct TUser {
    std::string Name;
    uid_t Uid = 0;
    gid_t Gid = 0;
    std::string Home;

    static std::optional<TUser> Make(const char* name, const TScratch& dir)
    {
        const passwd* p = ::getpwnam(name);
        if (!p)
            return std::nullopt;
        TUser user{name, p->pw_uid, p->pw_gid, dir.Path(std::string("home-") + name)};
        fs::create_directories(user.Home);
        EXPECT_EQ(::chown(user.Home.c_str(), user.Uid, user.Gid), 0);
        return user;
    }
    std::string Path(const std::string& name) const { return Home + "/" + name; }
    // The command line that runs `command` as this user.
    std::string Runs(const std::string& command) const
    {
        return "setpriv --reuid=" + std::to_string(Uid) + " --regid=" + std::to_string(Gid) +
               " --init-groups env HOME=" + Home + " " + command;
    }
    uid_t OwnerOf(const std::string& path) const
    {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
    }
};

std::string FaxCvt(const std::string& in, const std::string& out, const char* options = "")
{
    return std::string(SKIPMAIL_FAXCVT) + " " + options + " " + in + " " + out;
}

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
    // The jobs of the fax printer that have not ended, a line each.
    std::string Waiting() { return RunShellCommand("lpstat -o APF_Fax_Printer").Output; }
    // Those of them that have their document (lpstat shows a size).
    std::size_t WaitingJobs()
    {
        std::istringstream lines(Waiting());
        std::size_t jobs = 0;
        for (std::string id, user, size; lines >> id >> user >> size;
             lines.ignore(std::numeric_limits<std::streamsize>::max(), '\n'))
            jobs += size != "0";
        return jobs;
    }
    bool AllJobsEnded()
    {
        return PumpUntil([&] { return Waiting().empty(); }, 60000);
    }
    // The queue takes jobs and holds them behind one that never ends; the
    // first job returned is that one.
    std::string Stall()
    {
        Cups->Admin("-p APF_Fax_Printer -v stall:");
        WriteFile(Dir.Path("filler.ps"), "%!PS\nshowpage\n");
        const std::string id = RunShell("lp -d APF_Fax_Printer " + Dir.Path("filler.ps"));
        EXPECT_TRUE(PumpUntil([&] { return WaitingJobs() == 1; }, 30000));
        return id.substr(id.find("APF_Fax_Printer-"),
                         id.find(' ', id.find("APF_")) - id.find("APF_"));
    }
    // The fax printer writes again and the job holding the queue goes.
    void Release(const std::string& filler)
    {
        Cups->Admin("-p APF_Fax_Printer -v printfax:");
        RunShell("cancel " + filler);
    }
    // A document made by ghostscript from PostScript, on paper of that size.
    std::string Pdf(const std::string& name, const std::string& ps, const char* paper = "a4")
    {
        WriteFile(Dir.Path(name + ".ps"), ps);
        const std::string pdf = Dir.Path(name + ".pdf");
        RunShell(std::string("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE=") +
                 paper + " -dFIXEDMEDIA -sOutputFile=" + pdf + " " + Dir.Path(name + ".ps"));
        ::chmod(pdf.c_str(), 0644);
        return pdf;
    }
};

// The named string option of the fax printer's jobs, as any user may read
// it (Get-Jobs, every attribute): the newest job first.
std::vector<std::string> JobOptions(const char* which, const char* option)
{
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", FaxPrinter::kQueueName);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, which);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "all");
    cupsSetServer(nullptr);
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    std::vector<std::string> values;
    for (ipp_attribute_t* a = ippFindAttribute(response, option, IPP_TAG_ZERO); a;
         a = ippFindNextAttribute(response, option, IPP_TAG_ZERO))
        values.emplace_back(ippGetString(a, 0, nullptr));
    ippDelete(response);
    std::reverse(values.begin(), values.end());
    return values;
}

// A page's ink as the eye sees it: where it lies, in inches from the top
// left, and how much of it there is.
struct Ink {
    double Share = 0; // square inches
    double X = 0, Y = 0;
    double Left = 0, Top = 0, Right = 0, Bottom = 0;
    std::vector<double> Cells; // black share of each inch square
};

// `dx` and `dy` (inches) place the picture on the sheet.
Ink InkOf(const Picture& p, double xDpi, double yDpi, unsigned cellsAcross, unsigned cellsDown,
          double dx = 0, double dy = 0)
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
                const double ix = x / xDpi + dx, iy = y / yDpi + dy;
                if (ix >= 0 && iy >= 0 && ix < cellsAcross && iy < cellsDown)
                    ink.Cells[static_cast<unsigned>(iy) * cellsAcross +
                              static_cast<unsigned>(ix)] += 1 / (xDpi * yDpi);
            }
    if (n == 0)
        return ink;
    ink.Share = n / (xDpi * yDpi);
    ink.X = sx / n / xDpi + dx;
    ink.Y = sy / n / yDpi + dy;
    ink.Left = minX / xDpi + dx;
    ink.Right = maxX / xDpi + dx;
    ink.Top = minY / yDpi + dy;
    ink.Bottom = maxY / yDpi + dy;
    return ink;
}

// Where a page of that size (points) lands on the fax printer's A4 sheet:
// scaled to fit whole and centred.
struct TFit {
    double Scale = 1, X = 0, Y = 0; // X, Y in inches
};

TFit FitOnA4(double width, double height)
{
    const double a4w = 595, a4h = 842;
    const double s = std::min(a4w / width, a4h / height);
    return {s, (a4w - width * s) / 2 / 72, (a4h - height * s) / 2 / 72};
}

// The fax page against poppler's rendering of the PDF page: shapes in the
// same places (a page is centred on the fax line, a few pixels off), about
// as much black.
void ExpectSameInk(const std::string& apf, unsigned page, const std::string& pdf, TFit fit = {})
{
    SCOPED_TRACE(testing::Message() << "page " << page);
    const Picture fax = UnpackedPage(apf, page);
    const double faxLines = PageFine(apf, page) ? 196 : 98;
    const double dpi = 204 * fit.Scale;
    const Picture ref =
        FromPbm(RunShell("pdftoppm -mono -r " + std::to_string(dpi) + " -f " +
                         std::to_string(page) + " -l " + std::to_string(page) + " " + pdf));
    ASSERT_GT(ref.Height, 0u);
    const unsigned across = 8, down = 11;
    const Ink got = InkOf(fax, 204, faxLines, across, down);
    const Ink want = InkOf(ref, 204, 204, across, down, fit.X, fit.Y);
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

// A frame along the edges of the sheet, whatever its size, and a block
// off its middle: what a page cropped to another shape loses shows.
const char kFramedPage[] = R"(%!PS
/W currentpagedevice /PageSize get 0 get def
/H currentpagedevice /PageSize get 1 get def
6 setlinewidth 18 18 W 36 sub H 36 sub rectstroke
W 0.25 mul H 0.6 mul 150 120 rectfill
/Helvetica findfont 24 scalefont setfont 40 40 moveto (foot of the page) show
showpage
)";

TEST(FaxPrinter, ADocumentBecomesTheApfFileOfItsPages)
{
    NEEDS_FAX_PRINTER_TOOLS();
    FaxPrinterRig rig;
    ASSERT_TRUE(rig.Start());
    const std::string pdf = rig.Pdf("doc", kTwoPages);
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
    const TShellResult r = RunShellCommand(FaxCvt(pdf, low, "--low") + " 2>&1");
    EXPECT_EQ(r.Status, 0) << r.Output;
    EXPECT_NE(r.Output.find(low), std::string::npos);
    ASSERT_EQ(Pages(low), 2);
    EXPECT_FALSE(PageFine(low, 2));
    ExpectSameInk(low, 2, pdf);
    // Each request is gone with its job.
    EXPECT_EQ(Files(rig.Folder), std::vector<std::string>{});
}

// A machine whose CUPS has the fax printer as the install adds it.
class FaxPrinterInstalled : public testing::Test {
protected:
    void SetUp() override
    {
        NEEDS_FAX_PRINTER_TOOLS();
        ASSERT_TRUE(Rig.Start());
        ASSERT_TRUE(Rig.Install());
    }

    FaxPrinterRig Rig;
};

TEST_F(FaxPrinterInstalled, PagesOfAnyShapeArriveWholeFittedToTheSheet)
{
    // The station's jobs ask for it; other programs' get it as the queue's
    // default.
    struct TPaper {
        const char* Name;
        double Width, Height;
    };
    for (const TPaper& paper : {TPaper{"letter", 612, 792}, TPaper{"legal", 612, 1008}}) {
        SCOPED_TRACE(paper.Name);
        const std::string pdf = Rig.Pdf(paper.Name, kFramedPage, paper.Name);
        const std::string apf = Rig.Dir.Path(std::string(paper.Name) + ".apf");
        const TShellResult r = RunShellCommand(FaxCvt(pdf, apf, "--high") + " 2>&1");
        ASSERT_EQ(r.Status, 0) << r.Output;
        ExpectSameInk(apf, 1, pdf, FitOnA4(paper.Width, paper.Height));

        RunShell("lp -d APF_Fax_Printer " + pdf);
        ASSERT_TRUE(Rig.AllJobsEnded());
        const std::vector<std::string> made = Files(Rig.Folder);
        ASSERT_EQ(made.size(), 1u);
        ExpectSameInk(Rig.Folder + "/" + made[0], 1, pdf, FitOnA4(paper.Width, paper.Height));
        fs::remove(Rig.Folder + "/" + made[0]);
    }
}

// Two ordinary users, A and B, of a machine with the fax printer, and a
// document both may read.
class FaxPrinterUsers : public FaxPrinterInstalled {
protected:
    void SetUp() override
    {
        FaxPrinterInstalled::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        A = TUser::Make("nobody", Rig.Dir);
        B = TUser::Make("daemon", Rig.Dir);
        if (!A || !B)
            SKIP_WITHOUT_TOOL("the users nobody and daemon");
        Doc = Rig.Pdf("doc", kTwoPages);
    }

    std::optional<TUser> A, B;
    std::string Doc;
};

TEST_F(FaxPrinterUsers, EveryUserConvertsOneAfterTheOtherAndAtOnce)
{
    const TUser *a = &*A, *b = &*B;

    // An administrator's test conversion as root first: it must not lock
    // out anyone after it.
    EXPECT_EQ(RunShellCommand(FaxCvt(Doc, Rig.Dir.Path("root.apf")) + " 2>&1").Status, 0);
    for (const TUser* user : {a, b}) {
        SCOPED_TRACE(user->Name);
        const TShellResult r =
            RunShellCommand(user->Runs(FaxCvt(Doc, user->Path("1.apf"))) + " 2>&1");
        EXPECT_EQ(r.Status, 0) << r.Output;
        EXPECT_EQ(user->OwnerOf(user->Path("1.apf")), user->Uid);
        EXPECT_EQ(Pages(user->Path("1.apf")), 2);
    }

    // Both at once, and one of them twice.
    const std::string both = "(" + a->Runs(FaxCvt(Doc, a->Path("2.apf"))) + "; echo a2=$?) & (" +
                             b->Runs(FaxCvt(Doc, b->Path("2.apf"))) + "; echo b2=$?) & (" +
                             a->Runs(FaxCvt(Doc, a->Path("3.apf"))) + "; echo a3=$?) & wait";
    const TShellResult r = RunShellCommand(both + " 2>&1");
    for (const char* ended : {"a2=0", "b2=0", "a3=0"})
        EXPECT_NE(r.Output.find(ended), std::string::npos) << r.Output;
    for (const auto& [user, name] : {std::pair{a, "2.apf"}, {b, "2.apf"}, {a, "3.apf"}}) {
        SCOPED_TRACE(user->Path(name));
        EXPECT_EQ(user->OwnerOf(user->Path(name)), user->Uid);
        EXPECT_EQ(UnpackedPage(user->Path(name), 2), UnpackedPage(Rig.Dir.Path("root.apf"), 2));
    }
    EXPECT_EQ(Files(Rig.Folder), std::vector<std::string>{});
}

TEST_F(FaxPrinterUsers, AReplayedHandleNeverWritesAnotherUsersFile)
{
    const TUser *a = &*A, *b = &*B;
    WriteFile(Rig.Dir.Path("evil.ps"), "%!PS\n0 0 595 842 rectfill showpage\n");
    ::chmod(Rig.Dir.Path("evil.ps").c_str(), 0644);
    const std::string v = a->Path("v.apf");
    ASSERT_EQ(RunShellCommand(a->Runs(FaxCvt(Doc, v, "--high"))).Status, 0);
    const std::string made = ReadFile(v);

    // B reads A's handle off the ended job and prints with it.
    const std::vector<std::string> ended = JobOptions("completed", FaxPrinter::kHandleOption);
    ASSERT_EQ(ended.size(), 1u);
    const std::string replay = "lp -d APF_Fax_Printer -o " +
                               std::string(FaxPrinter::kHandleOption) + "=" + ended[0] + " " +
                               Rig.Dir.Path("evil.ps");
    RunShell(b->Runs(replay));
    ASSERT_TRUE(Rig.AllJobsEnded());
    EXPECT_EQ(ReadFile(v), made);
    EXPECT_EQ(a->OwnerOf(v), a->Uid);

    // And while A's request waits: B's job, named as A's and put first,
    // still is not the job the request was made for.
    const std::string filler = Rig.Stall();
    QProcess waiting;
    waiting.start("sh",
                  {"-c", QString::fromStdString(a->Runs(FaxCvt(Doc, a->Path("w.apf"), "--high")))});
    ASSERT_TRUE(PumpUntil([&] { return Rig.WaitingJobs() == 2; }, 30000)) << Rig.Waiting();
    const std::vector<std::string> pending = JobOptions("not-completed", FaxPrinter::kHandleOption);
    ASSERT_EQ(pending.size(), 1u);
    RunShell(b->Runs("lp -U " + a->Name + " -q 100 -d APF_Fax_Printer -o " +
                     FaxPrinter::kHandleOption + "=" + pending[0] + " " + Rig.Dir.Path("evil.ps")));
    Rig.Release(filler);
    ASSERT_TRUE(waiting.waitForFinished(120000));
    EXPECT_EQ(waiting.exitCode(), 0) << waiting.readAll().toStdString();
    EXPECT_EQ(a->OwnerOf(a->Path("w.apf")), a->Uid);
    EXPECT_EQ(UnpackedPage(a->Path("w.apf"), 1), UnpackedPage(v, 1));
    EXPECT_EQ(UnpackedPage(a->Path("w.apf"), 2), UnpackedPage(v, 2));
    ASSERT_TRUE(Rig.AllJobsEnded());
    EXPECT_EQ(ReadFile(v), made);
}

TEST_F(FaxPrinterInstalled, NoWordInTimeCancelsTheJobAndLeavesNoFile)
{
    ASSERT_EQ(Rig.Cups->Admin("-p APF_Fax_Printer -v stall:"), 0);
    fs::create_directories(Rig.Dir.Path("docs"));
    const std::string doc = Rig.Dir.Path("docs/letter.ps");
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
    EXPECT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    EXPECT_EQ(Files(Rig.Dir.Path("docs")), std::vector<std::string>{"letter.ps"});
    EXPECT_EQ(Files(Rig.Folder), std::vector<std::string>{});
}

TEST_F(FaxPrinterInstalled, AStoppedQueueFailsAtOnceNamingWhy)
{
    const std::string pdf = Rig.Pdf("doc", kTwoPages);
    RunShell("cupsdisable -r 'out of paper' APF_Fax_Printer");
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(pdf);
    // The whole time-out would pass before the answer if the wait began.
    EXPECT_EQ(FailureOf<EInOutError>(cvt), "the fax printer is stopped: out of paper");
    EXPECT_EQ(RunShellCommand("lpstat -W all -o APF_Fax_Printer").Output, "");
    RunShell("cupsenable APF_Fax_Printer && cupsreject -r 'full' APF_Fax_Printer");
    EXPECT_EQ(FailureOf<EInOutError>(cvt), "the fax printer is not accepting jobs: full");
    RunShell("cupsaccept APF_Fax_Printer");

    // Stopped while the job waits: the job goes, the conversion fails.
    const std::string filler = Rig.Stall();
    QProcess waiting;
    waiting.start(SKIPMAIL_FAXCVT,
                  {QString::fromStdString(pdf), QString::fromStdString(Rig.Dir.Path("w.apf"))});
    ASSERT_TRUE(PumpUntil([&] { return Rig.WaitingJobs() == 2; }, 30000)) << Rig.Waiting();
    // CUPS forgets the operator's reason while a job is running.
    RunShell("cupsdisable -r 'cover open' APF_Fax_Printer");
    ASSERT_TRUE(waiting.waitForFinished(60000));
    EXPECT_EQ(waiting.exitCode(), 1);
    const std::string said = waiting.readAllStandardError().toStdString();
    EXPECT_NE(said.find("the fax printer is stopped"), std::string::npos) << said;
    EXPECT_EQ(Rig.WaitingJobs(), 1u) << Rig.Waiting();
    EXPECT_EQ(Files(Rig.Folder), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(Rig.Dir.Path("w.apf")));
}

TEST_F(FaxPrinterInstalled, ADocumentThatCannotBeRenderedFailsWithTheReasonInWords)
{
    fs::create_directories(Rig.Dir.Path("docs"));
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    const auto failure = [&](const std::string& name, const std::string& bytes) {
        const std::string doc = Rig.Dir.Path("docs/" + name);
        WriteFile(doc, bytes);
        cvt.SetDocumentFile(doc);
        return FailureOf<EInOutError>(cvt);
    };
    // Never a filter's debug line or CUPS's spool file: the document's name
    // and what is wrong with it.
    const std::string unreadable = " (a damaged document, or one of a kind it cannot print)";
    EXPECT_EQ(failure("broken.pdf", "%PDF-1.4\nnot a document at all\n%%EOF\n"),
              "the print service could not render broken.pdf" + unreadable);
    EXPECT_EQ(failure("words.pdf", "plain words, no PDF\n"),
              "the print service could not render words.pdf" + unreadable);
    EXPECT_EQ(failure("empty.ps", "%!PS\n% nothing drawn, no page\n"), "empty.ps gave no pages");
    EXPECT_EQ(failure("nothing.pdf", ""), "nothing.pdf is empty");
    EXPECT_EQ(Files(Rig.Dir.Path("docs")),
              (std::vector<std::string>{"broken.pdf", "empty.ps", "nothing.pdf", "words.pdf"}));
    EXPECT_EQ(Rig.Waiting(), "");
    EXPECT_EQ(Files(Rig.Folder), std::vector<std::string>{});

    // The queue goes on.
    const std::string good = Rig.Dir.Path("docs/good.ps");
    WriteFile(good, kTwoPages);
    cvt.SetDocumentFile(good);
    cvt.ConvertToFile();
    EXPECT_EQ(Pages(Rig.Dir.Path("docs/good.APF")), 2);
}

TEST_F(FaxPrinterInstalled, AnInterruptedConversionWritesNothingLater)
{
    const std::string pdf = Rig.Pdf("doc", kTwoPages);
    const std::string filler = Rig.Stall();
    // Ctrl+C or a stop: the job goes with the tool, which ends by the
    // signal; SIGKILL leaves the job, which then finds its requester gone.
    for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        const std::string out = Rig.Dir.Path("out" + std::to_string(signal) + ".apf");
        QProcess p;
        p.start(SKIPMAIL_FAXCVT, {QString::fromStdString(pdf), QString::fromStdString(out)});
        ASSERT_TRUE(PumpUntil([&] { return Rig.WaitingJobs() == 2; }, 30000)) << Rig.Waiting();
        ::kill(static_cast<pid_t>(p.processId()), signal);
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
        if (signal != SIGKILL) {
            EXPECT_EQ(Rig.WaitingJobs(), 1u) << Rig.Waiting();
        }
    }
    Rig.Release(filler);
    ASSERT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    EXPECT_EQ(Files(Rig.Dir.Dir()), (std::vector<std::string>{"cups", "doc.pdf", "doc.ps",
                                                              "filler.ps", "printfax", "stall"}));
    EXPECT_EQ(Files(Rig.Folder), std::vector<std::string>{});
}

} // namespace
