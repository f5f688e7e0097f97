#include "fax/ad_fax_cvt.h"
#include "fax/fax_shell_printer.h"
#include "private_cups_helpers.h"
#include "raster_helpers.h"
#include "serial/ad_except.h"
#include "support/bindfs_mount.h"
#include "support/test_files.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cups/cups.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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

BackendRun RunBackend(const QStringList& args, const std::string& input, const std::string& folder,
                      const std::vector<std::pair<QString, std::string>>& more = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SKIPMAIL_PRINTFAX_DIR", QString::fromStdString(folder));
    for (const auto& [name, value] : more)
        env.insert(name, QString::fromStdString(value));
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

// The backend run on the raster in the file `input`, with its peak memory.
struct MeasuredRun {
    int Exit = -1;
    std::string Err;
    long PeakKb = 0;
};

MeasuredRun RunBackendMeasured(const QStringList& args, const std::string& input,
                               const std::string& errFile)
{
    std::vector<std::string> argv = {SKIPMAIL_PRINTFAX_BACKEND};
    for (const QString& a : args)
        argv.push_back(a.toStdString());
    std::vector<char*> pointers;
    for (std::string& a : argv)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    MeasuredRun r;
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    if (spawned != 0)
        return r;
    int status = 0;
    rusage usage{};
    EXPECT_EQ(::wait4(pid, &status, 0, &usage), pid);
    r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.Err = ReadFile(errFile);
    r.PeakKb = usage.ru_maxrss;
    return r;
}

// skip_faxcvt as a user runs it.
std::string FaxCvt(const std::string& in, const std::string& out, const char* options = "")
{
    return std::string(SKIPMAIL_FAXCVT) + " " + options + " " + in + " " + out;
}

// Whoever runs the tests, as CUPS names a job's user.
std::string Runner()
{
    const passwd* p = ::getpwuid(::geteuid());
    return p ? p->pw_name : std::to_string(::geteuid());
}

QStringList Job(const char* id, const std::string& options, const std::string& user = Runner(),
                const char* copies = "1")
{
    return {id, QString::fromStdString(user), "letter", copies, QString::fromStdString(options)};
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

// The fax printer folder as the install makes it, for the backend, and
// CUPS's spool folder, where the backend finds a job's documents.
struct TPrintFaxFolder {
    TPrintFaxFolder()
    {
        ::chmod(Dir.Dir().c_str(), 0711);
        fs::create_directories(Folder);
        ::chmod(Folder.c_str(), 01777);
        fs::create_directories(Spool);
    }
    TScratch Dir;
    const std::string Folder = Dir.Path("printfax");
    const std::string Spool = Dir.Path("spool");
    TEnvVar FolderVar{"SKIPMAIL_PRINTFAX_DIR", Folder};
    TEnvVar SpoolVar{"CUPS_REQUESTROOT", Spool};
};

std::string Sha256(const std::string& bytes)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// Document `n` of job `job` as CUPS keeps it while the job runs.
std::string SpoolPath(int job, int n = 1)
{
    char name[32];
    std::snprintf(name, sizeof name, "/d%05d-%03d", job, n);
    return std::getenv("CUPS_REQUESTROOT") + std::string(name);
}

const char kStationDocument[] = "%!PS\n% the document the station sent\n";

// A request as the station makes it: the file `out` for job `job`, whose
// document CUPS holds.
std::unique_ptr<FaxPrinter::TShellRequest> MakeRequest(const std::string& out, int job,
                                                       bool fine = true, unsigned mode = 0644)
{
    auto request = std::make_unique<FaxPrinter::TShellRequest>();
    FaxPrinter::TShellSettings s;
    s.ShellName = out;
    s.ShellHandle = request->Handle();
    s.Fine = fine;
    s.Job = job;
    s.Document = Sha256(kStationDocument);
    s.Mode = mode;
    request->Write(s);
    WriteFile(SpoolPath(job), kStationDocument);
    return request;
}

// The options the station's job for the request carries.
std::string StationOptions(const FaxPrinter::TShellRequest& request, bool fine = true,
                           const std::string& handle = "")
{
    std::string options;
    for (const auto& [name, value] :
         FaxPrinter::StationJobOptions(fine, handle.empty() ? request.Handle() : handle))
        options += name + "=" + value + " ";
    // What CUPS adds of its own.
    return options + "job-uuid=urn:uuid:0 job-originating-host-name=localhost "
                     "time-at-creation=1 document-name-supplied=letter";
}

// The request folders in the fax printer folder.
std::vector<std::string> Requests(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        if (FaxPrinter::IsRequestHandle(e.path().filename().string()))
            names.push_back(e.path().filename().string());
    return names;
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
    const QStringList station = Job("7", StationOptions(*request, false));
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
    EXPECT_EQ(SortedNames(dir.Path("out dir")), std::vector<std::string>{});

    // Any other program's job: a file of its own in its user's folder, at
    // the resolution it was rendered at.
    r = RunBackend(Job("9", "Resolution=204x98dpi"), RasterStream({{a, 98}}), folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    const std::string fax9 = folder + "/users/" + Runner() + "/FAX9.APF";
    EXPECT_FALSE(PageFine(fax9, 1));
    EXPECT_EQ(UnpackedPage(fax9, 1), a);

    // Nothing rendered: the reason, and no file; the station reads it from
    // its request, whatever CUPS shows last.
    r = RunBackend(Job("10", ""), "", folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: letter gave no pages"), std::string::npos) << r.Err;
    EXPECT_EQ(SortedNames(folder), (std::vector<std::string>{request->Handle(), "users"}));
    EXPECT_EQ(SortedNames(folder + "/users/" + Runner()), std::vector<std::string>{"FAX9.APF"});
    const auto empty = MakeRequest(out, 11);
    r = RunBackend(Job("11", StationOptions(*empty)), "", folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_EQ(empty->BackendReason(), "letter gave no pages");
    EXPECT_FALSE(fs::exists(out));
}

// CUPS hands the backend a job of several documents as their raster
// streams one after the other.
TEST(FaxPrinterBackend, WritesEveryDocumentOfAJobOrFails)
{
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    const std::string& folder = printFax.Folder;
    fs::create_directories(dir.Path("out"));
    const Picture a = TestPattern(kStandardWidth, 80, 21), b = TestPattern(kStandardWidth, 60, 22),
                  c = TestPattern(kStandardWidth, 40, 23), d = TestPattern(kStandardWidth, 50, 24);
    RasterPage white{d, 196};
    white.Space = CUPS_CSPACE_W;
    const std::string first = RasterStream({{a, 196}, {b, 196}});
    const std::string job = first + RasterStream({{c, 98}, white}, CUPS_RASTER_WRITE);

    const std::string out = dir.Path("out/job.apf");
    const auto request = MakeRequest(out, 5);
    BackendRun r = RunBackend(Job("5", StationOptions(*request)), job, folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    ASSERT_EQ(Pages(out), 4);
    EXPECT_EQ(UnpackedPage(out, 1), a);
    EXPECT_EQ(UnpackedPage(out, 2), b);
    EXPECT_EQ(UnpackedPage(out, 3), EachRowTwice(c));
    EXPECT_EQ(UnpackedPage(out, 4), d);

    r = RunBackend(Job("6", ""), job, folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(Pages(folder + "/users/" + Runner() + "/FAX6.APF"), 4);
    fs::remove(folder + "/users/" + Runner() + "/FAX6.APF");

    // A second document that is no raster, or breaks off in its header:
    // the job fails saying so, never ends as done with the first alone.
    const std::string damaged = "the print system sent damaged raster after page 2";
    for (const std::string& second :
         {std::string("%PDF-1.4 not a raster\n"), RasterStream({{c, 98}}).substr(0, 40)}) {
        fs::remove(out);
        const auto again = MakeRequest(out, 7);
        r = RunBackend(Job("7", StationOptions(*again)), first + second, folder);
        EXPECT_EQ(r.Exit, kCancelJob);
        EXPECT_NE(r.Err.find("ERROR: " + damaged), std::string::npos) << r.Err;
        EXPECT_EQ(again->BackendReason(), damaged);
        EXPECT_EQ(SortedNames(dir.Path("out")), std::vector<std::string>{});
        r = RunBackend(Job("8", ""), first + second, folder);
        EXPECT_EQ(r.Exit, kCancelJob);
        EXPECT_NE(r.Err.find("ERROR: " + damaged), std::string::npos) << r.Err;
    }
    EXPECT_EQ(SortedNames(folder), (std::vector<std::string>{request->Handle(), "users"}));
}

// The scheduler numbers jobs from 1 again once its history is cleared, and
// two schedulers may share the folder: an earlier job's fax stays.
TEST(FaxPrinterBackend, AnLpJobNeverReplacesAFileInItsUsersFolder)
{
    TPrintFaxFolder printFax;
    const std::string& folder = printFax.Folder;
    const std::string mine = folder + "/users/" + Runner();
    const Picture a = TestPattern(kStandardWidth, 40, 31), b = TestPattern(kStandardWidth, 50, 32);
    BackendRun r = RunBackend(Job("6", ""), RasterStream({{a, 196}}), folder);
    ASSERT_EQ(r.Exit, 0) << r.Err;
    const std::string earlier = Sha256(ReadFile(mine + "/FAX6.APF"));
    WriteFile(mine + "/FAX6-1.APF", "an earlier fax\n");
    r = RunBackend(Job("6", ""), RasterStream({{b, 196}}), folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(Sha256(ReadFile(mine + "/FAX6.APF")), earlier);
    EXPECT_EQ(ReadFile(mine + "/FAX6-1.APF"), "an earlier fax\n");
    EXPECT_EQ(UnpackedPage(mine + "/FAX6-2.APF", 1), b);
    EXPECT_EQ(SortedNames(mine),
              (std::vector<std::string>{"FAX6-1.APF", "FAX6-2.APF", "FAX6.APF"}));
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
    const std::string handle = StationOptions(*request);
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
         Job("7", StationOptions(*request, true,
                                 "../" + fs::path(dir.Dir()).filename().string() + "/printfax/" +
                                     request->Handle())),
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
        EXPECT_EQ(SortedNames(dir.Path("out")), std::vector<std::string>{});
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
    r = RunBackend(Job("12", StationOptions(*gone)), page, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: the station gave up on this job"), std::string::npos) << r.Err;
    EXPECT_FALSE(fs::exists(gonePath));
    EXPECT_EQ(SortedNames(dir.Path("out")), std::vector<std::string>{});
}

TEST(FaxPrinterBackend, AStationRequestIsServedOnlyWithWhatItsRequesterSent)
{
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    fs::create_directories(dir.Path("out"));
    const std::string out = dir.Path("out/fax.apf");
    const std::string page = RasterStream({{TestPattern(kStandardWidth, 30, 9), 196}});
    const auto request = MakeRequest(out, 7);
    const std::string options = StationOptions(*request);
    const std::string doc = SpoolPath(7);
    const auto without = [&](const std::string& option) {
        std::string changed = options;
        changed.erase(changed.find(option), option.size());
        return changed;
    };

    // Another user's document in the job, or beside it, or options that
    // cut or gather pages: all of it is refused, and the station is told.
    struct TChange {
        const char* What;
        QStringList Args;
        std::function<void()> Before, After;
        std::string Said;
    };
    const std::vector<TChange> changes = {
        {"another document", Job("7", options),
         [&] { WriteFile(doc, "%!PS\n% somebody else's pages\n"); },
         [&] { WriteFile(doc, kStationDocument); },
         "the job's document is not the one the station sent"},
        {"a second document", Job("7", options),
         [&] { WriteFile(SpoolPath(7, 2), kStationDocument); },
         [&] { fs::remove(SpoolPath(7, 2)); },
         "the job holds a document besides the one the station sent"},
        {"no document", Job("7", options), [&] { fs::rename(doc, doc + ".away"); },
         [&] { fs::rename(doc + ".away", doc); },
         "cannot read the job's document: No such file or directory"},
        {"a document reached through a link", Job("7", options),
         [&] {
             fs::rename(doc, doc + ".away");
             fs::create_symlink(doc + ".away", doc);
         },
         [&] {
             fs::remove(doc);
             fs::rename(doc + ".away", doc);
         },
         "cannot read the job's document: Too many levels of symbolic links"},
        {"two copies", Job("7", options, Runner(), "2"), {}, {}, "the job asks for 2 copies"},
        {"a page range",
         Job("7", options + " page-ranges=2"),
         {},
         {},
         "the job's options were changed (page-ranges=2)"},
        {"two pages a sheet",
         Job("7", options + " number-up=2"),
         {},
         {},
         "the job's options were changed (number-up=2)"},
        {"pages filled, not fitted",
         Job("7", without("print-scaling=fit")),
         {},
         {},
         "the job's options were changed (no print-scaling)"},
    };
    for (const TChange& c : changes) {
        SCOPED_TRACE(c.What);
        if (c.Before)
            c.Before();
        const BackendRun r = RunBackend(c.Args, page, printFax.Folder);
        if (c.After)
            c.After();
        EXPECT_EQ(r.Exit, kCancelJob);
        EXPECT_NE(r.Err.find("ERROR: " + c.Said + "\n"), std::string::npos) << r.Err;
        EXPECT_EQ(request->BackendReason(), c.Said);
        EXPECT_EQ(SortedNames(dir.Path("out")), std::vector<std::string>{});
        EXPECT_TRUE(fs::exists(request->SettingsPath()));
    }
    const BackendRun r = RunBackend(Job("7", options), page, printFax.Folder);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(Pages(out), 1);
}

TEST(FaxPrinterBackend, OtherJobsAreWrittenIntoTheirUsersOwnFolder)
{
    // getpwnam's answers share one buffer.
    const passwd* p = ::getpwnam("nobody");
    const std::optional<std::pair<uid_t, gid_t>> nobody =
        p ? std::optional(std::pair{p->pw_uid, p->pw_gid}) : std::nullopt;
    p = ::getpwnam("daemon");
    const std::optional<std::pair<uid_t, gid_t>> daemon =
        p ? std::optional(std::pair{p->pw_uid, p->pw_gid}) : std::nullopt;
    if (::geteuid() != 0 || !nobody || !daemon)
        GTEST_SKIP() << "needs root and the users nobody and daemon";
    TPrintFaxFolder printFax;
    const std::string& folder = printFax.Folder;
    const std::string users = folder + "/users";
    const std::string page = RasterStream({{TestPattern(kStandardWidth, 20, 7), 196}});
    const auto stat = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    };

    // As CUPS runs it: its umask closes what it makes to everyone else.
    const mode_t umaskBefore = ::umask(077);
    BackendRun r = RunBackend(Job("21", "", "nobody"), page, folder);
    ::umask(umaskBefore);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    // Only root makes a user's folder, and only that user enters it.
    EXPECT_EQ(stat(users).st_uid, 0u);
    EXPECT_EQ(stat(users).st_mode & 0777, 0755u);
    EXPECT_EQ(stat(users + "/nobody").st_uid, nobody->first);
    EXPECT_EQ(stat(users + "/nobody").st_mode & 0777, 0700u);
    EXPECT_EQ(stat(users + "/nobody/FAX21.APF").st_uid, nobody->first);
    EXPECT_EQ(Pages(users + "/nobody/FAX21.APF"), 1);

    // A user this machine does not know has no folder.
    r = RunBackend(Job("22", "", "stranger"), page, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: the fax printer writes only for users of this machine, and "
                         "stranger is none. Print as one of its users.\n"),
              std::string::npos)
        << r.Err;

    // A user's folder that is another's (a name given anew) is root's to
    // settle; nothing is written there.
    ASSERT_EQ(::chown((users + "/nobody").c_str(), daemon->first, daemon->second), 0);
    r = RunBackend(Job("26", "", "nobody"), page, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: " + users +
                         "/nobody is not nobody's folder. Give it to nobody "
                         "(chown -R nobody " +
                         users + "/nobody) and print again.\n"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(SortedNames(users + "/nobody"), std::vector<std::string>{"FAX21.APF"});

    // A folder another user made in its place is not used.
    fs::remove_all(users);
    fs::create_directory(users);
    ASSERT_EQ(::chown(users.c_str(), daemon->first, daemon->second), 0);
    r = RunBackend(Job("23", "", "nobody"), page, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: " + users +
                         " is a folder of daemon's, not root's own. Remove it and run "
                         "fax-printer-install again.\n"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(SortedNames(users), std::vector<std::string>{});

    // Nor is a link laid there followed to a folder of another user's.
    fs::remove_all(users);
    const std::string elsewhere = printFax.Dir.Path("elsewhere");
    fs::create_directory(elsewhere);
    ASSERT_EQ(::chown(elsewhere.c_str(), daemon->first, daemon->second), 0);
    ::chmod(elsewhere.c_str(), 0700);
    fs::create_directory_symlink(elsewhere, users);
    ASSERT_EQ(::lchown(users.c_str(), daemon->first, daemon->second), 0);
    r = RunBackend(Job("25", "", "nobody"), page, folder);
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_NE(r.Err.find("ERROR: " + users + " is a link to " + elsewhere +
                         " that daemon laid, not root's own folder"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(SortedNames(elsewhere), std::vector<std::string>{});
    EXPECT_EQ(stat(elsewhere).st_uid, daemon->first);
    EXPECT_EQ(stat(elsewhere).st_mode & 07777, 0700u);
    fs::remove(users);

    // The station's file gets the mode its requester's umask gives.
    TScratch outDir;
    for (const unsigned mode : {0600u, 0640u}) {
        SCOPED_TRACE(mode);
        const std::string out = outDir.Path("fax" + std::to_string(mode) + ".apf");
        const auto request = MakeRequest(out, 24, true, mode);
        r = RunBackend(Job("24", StationOptions(*request)), page, folder);
        EXPECT_EQ(r.Exit, 0) << r.Err;
        EXPECT_EQ(stat(out).st_mode & 0777, mode);
    }
}

// The backend (root) checks every folder from "/" down to the fax printer
// folder at every job: one that another user can move, or has moved, gets
// no write of root's.
TEST(FaxPrinterBackend, AJobWritesNothingWhereAnotherUserCanMoveTheFolder)
{
    // getpwnam's answers share one buffer.
    const passwd* p = ::getpwnam("daemon");
    const uid_t daemon = p ? p->pw_uid : 0;
    const gid_t daemonGroup = p ? p->pw_gid : 0;
    p = ::getpwnam("nobody");
    const uid_t nobody = p ? p->pw_uid : 0;
    const gid_t nobodyGroup = p ? p->pw_gid : 0;
    if (::geteuid() != 0 || daemon == 0 || nobody == 0)
        GTEST_SKIP() << "needs root and the users daemon and nobody";
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    const std::string page = RasterStream({{TestPattern(kStandardWidth, 20, 7), 196}});
    // T stands for a folder of root's that daemon would have root change.
    const std::string t = dir.Path("T");
    fs::create_directory(t);
    ::chmod(t.c_str(), 0755);
    const auto folder = [&](const std::string& path, mode_t mode, uid_t owner = 0) {
        fs::create_directories(path);
        ::chmod(path.c_str(), mode);
        EXPECT_EQ(::chown(path.c_str(), owner, owner == 0 ? 0 : daemonGroup), 0);
    };
    folder(dir.Path("tmp"), 01777);
    folder(dir.Path("home-daemon/spool/pf"), 01777);
    ::chown(dir.Path("home-daemon").c_str(), daemon, daemonGroup);
    folder(dir.Path("open/pf"), 01777);
    ::chmod(dir.Path("open").c_str(), 0777);
    folder(dir.Path("tmp/theirs"), 01777, daemon);
    folder(dir.Path("tmp/unsticky"), 0777);
    fs::create_directory_symlink(t, dir.Path("tmp/laid"));
    ::lchown(dir.Path("tmp/laid").c_str(), daemon, daemonGroup);
    // Root's own link above it, as /var/run.
    fs::create_directory_symlink(dir.Path("tmp"), dir.Path("run"));
    // Each says what to do, as the install does.
    struct TCase {
        std::string Folder;
        std::string Said;
    };
    const std::string holds = ", which holds the fax printer folder,";
    const std::string again = " and run fax-printer-install again.";
    for (const TCase& c :
         {TCase{dir.Path("home-daemon/spool/pf"),
                dir.Path("home-daemon") + holds +
                    " is a folder of daemon's, not root's own. Put the fax printer folder where "
                    "every folder above it is root's alone (SKIPMAIL_PRINTFAX_DIR)" +
                    again},
          {dir.Path("open/pf"), dir.Path("open") + holds +
                                    " is open to other users' writing without the sticky bit. "
                                    "Close it (chmod go-w " +
                                    dir.Path("open") +
                                    "), or put the fax printer folder elsewhere, and run "
                                    "fax-printer-install again."},
          {dir.Path("tmp/theirs"),
           dir.Path("tmp/theirs") + " is a folder of daemon's, not root's own. Remove it" + again},
          {dir.Path("tmp/unsticky"), dir.Path("tmp/unsticky") +
                                         " is open to other users' writing without the sticky "
                                         "bit. Close it (chmod go-w " +
                                         dir.Path("tmp/unsticky") + ")" + again},
          {dir.Path("tmp/laid"), dir.Path("tmp/laid") + " is a link to " + t +
                                     " that daemon laid, not root's own folder. Remove it" + again},
          {dir.Path("run/pf"), dir.Path("run") + holds + " is a link to " + dir.Path("tmp") +
                                   ", and no link is followed on the way to the fax printer "
                                   "folder. Name the fax printer folder without the link "
                                   "(SKIPMAIL_PRINTFAX_DIR=" +
                                   fs::canonical(dir.Path("tmp")).string() + "/pf)" + again},
          {dir.Path("tmp/missing"), "the fax printer folder " + dir.Path("tmp/missing") +
                                        " is missing. Run fax-printer-install."}}) {
        SCOPED_TRACE(c.Folder);
        TEnvVar inFolder("SKIPMAIL_PRINTFAX_DIR", c.Folder);
        BackendRun r = RunBackend(Job("31", "", "nobody"), page, c.Folder);
        EXPECT_EQ(r.Exit, kCancelJob);
        EXPECT_EQ(r.Err, "ERROR: " + c.Said + "\nINFO: \n");
        // The station's request too, made there before the folder moved:
        // its requester reads why.
        if (fs::is_directory(c.Folder) && !fs::is_symlink(c.Folder)) {
            const auto request = MakeRequest(dir.Path("out.apf"), 32);
            for (const std::string& path : {request->Path(), request->SettingsPath()})
                ASSERT_EQ(::chown(path.c_str(), nobody, nobodyGroup), 0);
            r = RunBackend(Job("32", StationOptions(*request), "nobody"), page, c.Folder);
            EXPECT_EQ(r.Exit, kCancelJob);
            EXPECT_EQ(r.Err, "ERROR: " + c.Said + "\nINFO: \n");
            EXPECT_EQ(request->BackendReason(), c.Said);
            EXPECT_EQ(FaxPrinter::ReadShellSettings(request->SettingsPath()).Job, 32);
            EXPECT_FALSE(fs::exists(dir.Path("out.apf")));
        }
        EXPECT_FALSE(fs::exists(c.Folder + "/users"));
    }
    EXPECT_EQ(SortedNames(t), std::vector<std::string>{});
    struct stat st {};
    ASSERT_EQ(::stat(t.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // A root folder with the sticky bit, as /tmp, may hold it.
    const std::string pf = dir.Path("tmp/pf");
    folder(pf, 01777);
    const BackendRun r = RunBackend(Job("33", "", "nobody"), page, pf);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(Pages(pf + "/users/nobody/FAX33.APF"), 1);
}

// The station writes a few lines of settings. A far larger file in a
// user's own request (a sparse one costs that user nothing) is refused
// unread, before the backend, still root, holds it in memory.
TEST(FaxPrinterBackend, ARequestsSettingsAreReadUpToASmallSizeOnly)
{
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    fs::create_directories(dir.Path("out"));
    const std::string out = dir.Path("out/fax.apf");
    const std::string page = dir.Path("page.raster");
    WriteFile(page, RasterStream({{TestPattern(kStandardWidth, 30, 25), 196}}));
    const std::size_t limit = 64 * 1024;
    struct TCase {
        const char* What;
        std::uintmax_t Size;
        bool Served;
    };
    for (const TCase& c : {TCase{"at the limit", limit, true},
                           {"a byte over", limit + 1, false},
                           {"256 MB, sparse", std::uintmax_t{256} << 20, false}}) {
        SCOPED_TRACE(c.What);
        const auto request = MakeRequest(out, 3);
        const std::string ini = request->SettingsPath();
        if (c.Size <= limit + 1) {
            // Padded with a comment line.
            std::string text = ReadFile(ini) + ";";
            text += std::string(c.Size - text.size() - 2, 'x') + "\r\n";
            WriteFile(ini, text);
        } else {
            fs::resize_file(ini, c.Size);
        }
        ASSERT_EQ(fs::file_size(ini), c.Size);
        const MeasuredRun r =
            RunBackendMeasured(Job("3", StationOptions(*request)), page, dir.Path("err.txt"));
        EXPECT_LT(r.PeakKb, 64 * 1024);
        if (c.Served) {
            EXPECT_EQ(r.Exit, 0) << r.Err;
            EXPECT_EQ(Pages(out), 1);
            fs::remove(out);
            continue;
        }
        const std::string said =
            "the request " + request->Handle() + " holds settings of more than 65536 bytes";
        EXPECT_EQ(r.Exit, kCancelJob);
        EXPECT_EQ(r.Err, "ERROR: " + said + "\nINFO: \n");
        EXPECT_EQ(request->BackendReason(), said);
        EXPECT_EQ(SortedNames(dir.Path("out")), std::vector<std::string>{});
    }
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
        const BackendRun r = RunBackend(Job("3", StationOptions(*request), "nobody"), page, folder);
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
            EXPECT_EQ(SortedNames(closed), std::vector<std::string>{});
        }
    }
}

// True once the process holds a file open in `dir`: with or without a name,
// /proc names its folder.
bool WritesInto(qint64 pid, const std::string& dir)
{
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = fs::read_symlink(e.path(), ec).string();
        if (target.rfind(dir + "/", 0) == 0)
            return true;
    }
    return false;
}

TEST(FaxPrinterBackend, ACancelledJobOrAGoneRequesterLeavesNoFile)
{
    TPrintFaxFolder printFax;
    const TScratch& dir = printFax.Dir;
    fs::create_directories(dir.Path("out"));
    const std::string stream = RasterStream({{TestPattern(kStandardWidth, 400, 8), 196}});
    // Half the page, then either CUPS cancels (the filters stopped sending),
    // or stops it by force (SIGKILL, as it does when the queue is changed
    // while the job runs), or the requester goes and the rest comes.
    enum TEnd { eCancelled, eKilled, eGone };
    for (const TEnd end : {eCancelled, eKilled, eGone}) {
        SCOPED_TRACE(end);
        const auto request = MakeRequest(dir.Path("out/fax.apf"), 4);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SKIPMAIL_PRINTFAX_DIR", QString::fromStdString(printFax.Folder));
        p.setProcessEnvironment(env);
        p.start(SKIPMAIL_PRINTFAX_BACKEND, Job("4", StationOptions(*request)));
        ASSERT_TRUE(p.waitForStarted(10000));
        p.write(stream.data(), static_cast<qint64>(stream.size() / 2));
        EXPECT_TRUE(PumpUntil([&] { return WritesInto(p.processId(), dir.Path("out")); }, 30000));
        if (end == eCancelled) {
            p.terminate();
        } else if (end == eKilled) {
            p.kill();
        } else {
            request->Abandon();
            p.write(stream.data() + stream.size() / 2,
                    static_cast<qint64>(stream.size() - stream.size() / 2));
            p.closeWriteChannel();
        }
        EXPECT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(SortedNames(dir.Path("out")), std::vector<std::string>{});
        if (end == eKilled)
            continue;
        EXPECT_EQ(p.exitCode(), kCancelJob);
        const std::string err = p.readAllStandardError().toStdString();
        const std::string said =
            end == eCancelled ? "INFO: \n" : "ERROR: the station gave up on this job\nINFO: \n";
        EXPECT_EQ(err, said);
    }

    // On a file system without unnamed files (FUSE) a killed job leaves its
    // named temporary, until the next job into that folder removes it; one
    // still writing keeps its own, and the user's own files that merely end
    // in ".part-" and six letters stay, beside a shell print's file, an lp
    // job's and a local conversion's.
    if (const std::string missing = WithoutBindfs(); !missing.empty())
        SKIP_WITHOUT_TOOL(missing);
    const std::string source = dir.Path("fuse-source");
    fs::create_directories(source + "/printfax/users/" + Runner());
    ::chmod((source + "/printfax").c_str(), 01777);
    ::chmod((source + "/printfax/users/" + Runner()).c_str(), 0700);
    const std::vector<std::string> usersFiles = {"backup.tar.part-000001", "thesis.part-chap01"};
    for (const std::string& name : usersFiles) {
        WriteFile(source + "/" + name, "the user's own\n");
        WriteFile(source + "/printfax/users/" + Runner() + "/" + name, "the user's own\n");
    }
    TLockForwardingMount mount(source, dir.Path("fuse"));
    if (!mount.Mounted())
        SKIP_WITHOUT_TOOL(kBindfsCannotMount);
    const std::string fuse = dir.Path("fuse");
    const std::string lpFolder = fuse + "/printfax", lpUsers = lpFolder + "/users/" + Runner();
    // Stopped half way through its page: a station request, or an lp job.
    const auto writing = [&](QProcess& p, const std::string& folder, const QStringList& args,
                             const std::string& into) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SKIPMAIL_PRINTFAX_DIR", QString::fromStdString(folder));
        p.setProcessEnvironment(env);
        p.start(SKIPMAIL_PRINTFAX_BACKEND, args);
        EXPECT_TRUE(p.waitForStarted(10000));
        p.write(stream.data(), static_cast<qint64>(stream.size() / 2));
        EXPECT_TRUE(PumpUntil([&] { return WritesInto(p.processId(), into); }, 30000));
    };
    const auto killedWriting = [&](const std::string& folder, const QStringList& args,
                                   const std::string& into) {
        QProcess killed;
        writing(killed, folder, args, into);
        killed.kill();
        EXPECT_TRUE(killed.waitForFinished(30000));
    };
    // The names in `folder` but the user's own files, which are all there.
    const auto withoutUsersFiles = [&](const std::string& folder) {
        std::vector<std::string> names = SortedNames(folder);
        for (const std::string& name : usersFiles) {
            EXPECT_EQ(ReadFile(folder + "/" + name), "the user's own\n") << name;
            names.erase(std::remove(names.begin(), names.end(), name), names.end());
        }
        return names;
    };
    const auto killedRequest = MakeRequest(fuse + "/killed.apf", 5);
    killedWriting(printFax.Folder, Job("5", StationOptions(*killedRequest)), fuse);
    std::vector<std::string> left = withoutUsersFiles(fuse);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].rfind("killed.apf.skipmail-part-", 0), 0u) << left[0];
    EXPECT_EQ(left[1], "printfax");

    const auto liveRequest = MakeRequest(fuse + "/live.apf", 6);
    QProcess live;
    writing(live, printFax.Folder, Job("6", StationOptions(*liveRequest)), fuse);
    const auto nextRequest = MakeRequest(fuse + "/next.apf", 7);
    const BackendRun next =
        RunBackend(Job("7", StationOptions(*nextRequest)), stream, printFax.Folder);
    EXPECT_EQ(next.Exit, 0) << next.Err;
    left = withoutUsersFiles(fuse);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left[0].rfind("live.apf.skipmail-part-", 0), 0u) << left[0];
    EXPECT_EQ(left[1], "next.apf");
    live.write(stream.data() + stream.size() / 2,
               static_cast<qint64>(stream.size() - stream.size() / 2));
    live.closeWriteChannel();
    EXPECT_TRUE(live.waitForFinished(30000));
    EXPECT_EQ(live.exitCode(), 0);
    EXPECT_EQ(withoutUsersFiles(fuse),
              (std::vector<std::string>{"live.apf", "next.apf", "printfax"}));

    // A local conversion is the next write there.
    const auto againRequest = MakeRequest(fuse + "/again.apf", 8);
    killedWriting(printFax.Folder, Job("8", StationOptions(*againRequest)), fuse);
    WriteFile(dir.Path("in.txt"), "a line of text\n");
    const TShellResult local = RunShellCommand(FaxCvt(dir.Path("in.txt"), fuse + "/local.apf"));
    EXPECT_EQ(local.Status, 0) << local.Output;
    EXPECT_EQ(withoutUsersFiles(fuse),
              (std::vector<std::string>{"live.apf", "local.apf", "next.apf", "printfax"}));

    // The lp route: the next job into the user's folder.
    killedWriting(lpFolder, Job("10", ""), lpUsers);
    left = withoutUsersFiles(lpUsers);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].rfind("FAX10.APF.skipmail-part-", 0), 0u) << left[0];
    const BackendRun lp = RunBackend(Job("11", ""), stream, lpFolder);
    EXPECT_EQ(lp.Exit, 0) << lp.Err;
    EXPECT_EQ(withoutUsersFiles(lpUsers), std::vector<std::string>{"FAX11.APF"});
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
    EXPECT_EQ(SortedNames(dir.Dir()), std::vector<std::string>{"doc.pdf"});

    // A scheduler on a host is named with the port that was tried.
    const int port = FreePort();
    TEnvVar tcp("CUPS_SERVER", "127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(FailureOf<ENotSupported>(cvt),
              "cannot reach the print service (127.0.0.1:" + std::to_string(port) + ")");
}

// What the fax printer's tests need here; in CI every part must be there.
std::string Missing()
{
    // Its scheduler runs the backend as root, which serves other users.
    if (::geteuid() != 0)
        return "root (a scheduler of the test's own runs its backend as root for other users)";
    if (!TPrivateCups::Possible())
        return "cupsd and lpadmin";
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
    // The command line that runs `command` as this user, away from any
    // terminal a password could be asked on.
    std::string Runs(const std::string& command) const
    {
        return "setsid -w " + RunsOnTerminal(command);
    }
    // The same, on the terminal it is started from.
    std::string RunsOnTerminal(const std::string& command) const
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

// A CUPS scheduler of the test's own that hands the backend the fax printer
// folder (which the install makes), a backend that takes jobs and never
// answers ("stall:") and, once Install ran, the fax printer as
// scripts/fax-printer-install adds it.
class FaxPrinterRig {
public:
    TScratch Dir;
    std::string Folder = Dir.Path("printfax");
    std::optional<TEnvVar> FolderVar;
    std::optional<TPrivateCups> Cups;

    bool Start(bool defaultPolicyOnly = false, bool tcp = false)
    {
        FolderVar.emplace("SKIPMAIL_PRINTFAX_DIR", Folder);
        const std::string stall =
            Script(Dir, "stall", "[ $# -eq 0 ] && exit 0\ncat >/dev/null\nexec sleep 600\n");
        // One that fails its job in the words a failed document gets and
        // stops the queue, as a device that fails does.
        const std::string words = Script(Dir, "words",
                                         "[ $# -eq 0 ] && exit 0\ncat >/dev/null\n"
                                         "echo \"ERROR: $3 gave no pages\" >&2\nexit 4\n");
        Cups.emplace(
            Dir, TPrivateCups::TSetup{
                     {stall, words}, {{"SKIPMAIL_PRINTFAX_DIR", Folder}}, defaultPolicyOnly, tcp});
        return Cups->Start();
    }
    // scripts/fax-printer-install as root runs it for this scheduler: its
    // exit code and words.
    TShellResult RunInstall(const std::string& prefix = "")
    {
        const std::string source = std::getenv("SKIPMAIL_SOURCE_DIR");
        const std::string build = fs::path(SKIPMAIL_PRINTFAX_BACKEND).parent_path().parent_path();
        return RunShellCommand("CUPS_SERVERBIN=" + Cups->Root() +
                               "/bin CUPS_SERVERROOT=" + ConfFolder() + " " + prefix + " " +
                               source + "/scripts/fax-printer-install " + build + " 2>&1");
    }
    // Where the scheduler's cups-files.conf is.
    std::string ConfFolder() const { return Cups->Root() + "/conf"; }
    bool Install()
    {
        const TShellResult r = RunInstall();
        EXPECT_EQ(r.Status, 0) << r.Output;
        // lpadmin's notice on PPD files is no word of the install's.
        EXPECT_EQ(r.Output.find("Printer drivers are deprecated"), std::string::npos) << r.Output;
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

// The scheduler's answer about one attribute of the job, as any user may
// ask (ippDelete it).
ipp_t* JobAttribute(int job, const char* name)
{
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/jobs/%d", job);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 name);
    cupsSetServer(nullptr);
    return cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
}

// The named time of the job (time-at-processing, ...), in the scheduler's
// seconds; 0 where it has none yet.
int JobTime(int job, const char* name)
{
    ipp_t* response = JobAttribute(job, name);
    ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_INTEGER);
    const int time = a ? ippGetInteger(a, 0) : 0;
    ippDelete(response);
    return time;
}

// The job's last message (job-printer-state-message).
std::string JobMessage(int job)
{
    ipp_t* response = JobAttribute(job, "job-printer-state-message");
    ipp_attribute_t* a = ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT);
    const std::string message = a ? ippGetString(a, 0, nullptr) : "";
    ippDelete(response);
    return message;
}

// What `command` wrote on a terminal of its own, answering each prompt
// that ends in "? " with the next of `answers` and a line end (then with an
// empty line); a control character (Ctrl+C, Ctrl+D) goes alone, as typed.
// `status` gets how the command ended, as waitpid says.
std::string OnTerminal(const std::string& command, std::vector<std::string> answers,
                       int* status = nullptr)
{
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    EXPECT_GT(pid, 0);
    std::string said;
    std::size_t answered = 0;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0)
            break;
        said.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t at; (at = said.find("? ", answered)) != std::string::npos;) {
            answered = at + 2;
            std::string answer = answers.empty() ? "" : answers.front();
            if (answer.size() != 1 || !std::iscntrl(static_cast<unsigned char>(answer[0])))
                answer += "\n";
            if (!answers.empty())
                answers.erase(answers.begin());
            EXPECT_EQ(::write(terminal, answer.data(), answer.size()),
                      static_cast<ssize_t>(answer.size()));
        }
    }
    ::close(terminal);
    int ended = 0;
    ::waitpid(pid, &ended, 0);
    if (status)
        *status = ended;
    return said;
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
    EXPECT_EQ(Requests(rig.Folder), std::vector<std::string>{});
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
        const std::string mine = Rig.Folder + "/users/root";
        const std::vector<std::string> made = SortedNames(mine);
        ASSERT_EQ(made.size(), 1u);
        ExpectSameInk(mine + "/" + made[0], 1, pdf, FitOnA4(paper.Width, paper.Height));
        fs::remove(mine + "/" + made[0]);
    }
}

// CUPS renders each document of a job on its own and hands the backend
// their pages one document after the other.
TEST_F(FaxPrinterInstalled, AJobOfTwoDocumentsGivesEveryPageInOrder)
{
    const std::string a = Rig.Pdf("a", kTwoPages);
    const std::string b = Rig.Pdf("b", R"(%!PS
/Helvetica findfont 40 scalefont setfont
100 600 moveto (Third page) show 100 100 400 300 rectfill showpage
200 300 moveto (Fourth page) show 50 50 100 700 rectfill showpage
)");
    // The file of the job `lp` started.
    const auto print = [&](const std::string& documents) {
        const std::string said = RunShell("lp -d APF_Fax_Printer " + documents);
        const std::size_t at = said.find("APF_Fax_Printer-");
        EXPECT_NE(at, std::string::npos) << said;
        EXPECT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
        const std::string id = said.substr(at + 16, said.find(' ', at) - at - 16);
        return Rig.Folder + "/users/root/FAX" + id + ".APF";
    };
    const std::string alone[] = {print(a), print(b)};
    const std::string both = print(a + " " + b);
    ASSERT_EQ(Pages(both), 4);
    EXPECT_NE(UnpackedPage(both, 1), UnpackedPage(both, 3));
    for (unsigned page = 1; page <= 4; ++page) {
        SCOPED_TRACE(page);
        EXPECT_EQ(UnpackedPage(both, page),
                  UnpackedPage(alone[(page - 1) / 2], (page - 1) % 2 + 1));
    }
    EXPECT_EQ(RunShellCommand("lpstat -W completed -o APF_Fax_Printer | wc -l").Output, "3\n");
}

// A folder as lstat sees it, with the names in it.
struct TLaid {
    uid_t Uid = 0;
    mode_t Mode = 0;
    std::vector<std::string> Names;
    bool operator==(const TLaid&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const TLaid& laid)
    {
        out << "uid " << laid.Uid << " mode " << std::oct << laid.Mode << std::dec;
        for (const std::string& name : laid.Names)
            out << " " << name;
        return out;
    }
};

// Names that `maker` made in it are left out: where B may write, B may lay
// names through a link of its own.
TLaid Laid(const std::string& path, uid_t maker = static_cast<uid_t>(-1))
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    TLaid laid{st.st_uid, st.st_mode, {}};
    for (const std::string& name : SortedNames(path))
        if (::lstat((path + "/" + name).c_str(), &st) != 0 || st.st_uid != maker)
            laid.Names.push_back(name);
    return laid;
}

// A shell loop run by `user` in a process group of its own, on the cores
// that `cores` names (taskset's list) where given. It ends as a whole: a
// killed shell's last command runs on, and a test looks only once every
// process of the group has ended.
class TRacer {
public:
    TRacer(const TUser& user, const std::string& loop, const std::string& cores = "")
    {
        QStringList args = {"--reuid=" + QString::number(user.Uid),
                            "--regid=" + QString::number(user.Gid),
                            "--init-groups",
                            "sh",
                            "-c",
                            QString::fromStdString(loop)};
        // The commands its shell leaves running when killed come to this
        // process, to be waited for, instead of to init.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        P_.setChildProcessModifier([] { ::setpgid(0, 0); });
        if (cores.empty()) {
            P_.start("setpriv", args);
        } else {
            args = QStringList{"-c", QString::fromStdString(cores), "setpriv"} + args;
            P_.start("taskset", args);
        }
        if (P_.waitForStarted(10000))
            Group_ = static_cast<pid_t>(P_.processId());
    }
    ~TRacer() { Stop(); }
    TRacer(const TRacer&) = delete;
    TRacer& operator=(const TRacer&) = delete;

    bool Started() const { return Group_ > 0; }
    QProcess& Process() { return P_; }
    void Stop()
    {
        if (Group_ > 0) {
            ::kill(-Group_, SIGKILL);
            P_.waitForFinished(10000);
            // Killed, each ends soon.
            while (::waitpid(-Group_, nullptr, 0) > 0 || errno == EINTR) {
            }
            Group_ = 0;
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

private:
    QProcess P_;
    pid_t Group_ = 0;
};

// How the install refuses a name it will not use.
// The fax printer folder as a finished install leaves it: root's 1777, with
// root's users/ 0755 in it.
void ExpectInstalledFolder(const std::string& folder)
{
    const TLaid top = Laid(folder), own = Laid(folder + "/users");
    EXPECT_TRUE(S_ISDIR(top.Mode) && S_ISDIR(own.Mode)) << folder;
    EXPECT_EQ(top.Uid, 0u) << folder;
    EXPECT_EQ(top.Mode & 07777, 01777u) << folder;
    EXPECT_EQ(own.Uid, 0u) << folder;
    EXPECT_EQ(own.Mode & 07777, 0755u) << folder;
}

void ExpectRefused(const TShellResult& r, const std::string& said)
{
    EXPECT_NE(r.Status, 0);
    EXPECT_NE(r.Output.find("fax-printer-install: " + said +
                            "; nothing was changed. Remove it and run fax-printer-install again."),
              std::string::npos)
        << r.Output;
}

// How the install refuses a folder that was there and holds no users/.
std::string NoFaxPrinterFolder(const std::string& folder)
{
    return "fax-printer-install: " + folder +
           " was there and holds no users/, so it is no fax printer folder (the install opens to "
           "every user only a folder it makes, or one that holds the fax printer's users/); "
           "nothing was changed. If an earlier install left it (one cut short, or one from "
           "before users/), remove it (rmdir " +
           folder +
           ") and run fax-printer-install again. Else name a folder of the fax printer's own "
           "(SKIPMAIL_PRINTFAX_DIR, a new one will do) and run fax-printer-install again.\n";
}

// Every user may lay names in the fax printer folder, and in /tmp should
// the folder be there; the install runs as root.
TEST(FaxPrinterInstall, NeverFollowsOrTakesOverANameAnotherUserLaid)
{
    NEEDS_FAX_PRINTER_TOOLS();
    FaxPrinterRig rig;
    ASSERT_TRUE(rig.Start());
    const std::optional<TUser> a = TUser::Make("nobody", rig.Dir);
    const std::optional<TUser> b = TUser::Make("daemon", rig.Dir);
    if (!a || !b)
        SKIP_WITHOUT_TOOL("the users nobody and daemon");
    // B points its links at a folder of A's own and at a root folder open
    // to all, as /tmp is.
    const std::string mine = a->Path("private");
    fs::create_directory(mine);
    WriteFile(mine + "/letter.txt", "A's own\n");
    for (const std::string& path : {mine, mine + "/letter.txt"})
        ASSERT_EQ(::chown(path.c_str(), a->Uid, a->Gid), 0);
    ::chmod(mine.c_str(), 0700);
    const std::string open = rig.Dir.Path("open");
    fs::create_directory(open);
    ::chmod(open.c_str(), 01777);
    const TLaid mineBefore = Laid(mine), openBefore = Laid(open);
    const auto untouched = [&] {
        EXPECT_EQ(Laid(mine), mineBefore);
        EXPECT_EQ(Laid(open, b->Uid), openBefore);
    };
    const std::string users = rig.Folder + "/users";

    // An installation made before users/ existed: the folder is there,
    // open to all, without it, holding the faxes it wrote as lp. They are
    // said to be moved; the folder is then to go, since nothing tells it
    // from any other empty folder of root's.
    fs::create_directory(rig.Folder);
    ::chmod(rig.Folder.c_str(), 01777);
    for (const char* fax : {"FAX3.APF", "FAX12-1.APF"}) {
        WriteFile(rig.Folder + "/" + fax, "an earlier job's\n");
        ASSERT_EQ(::chown((rig.Folder + "/" + fax).c_str(), 7, 7), 0);
    }
    EXPECT_EQ(rig.RunInstall().Output,
              "fax-printer-install: " + rig.Folder +
                  " holds FAX12-1.APF, FAX3.APF, faxes printed before each user's went into " +
                  users + "/<user>; nothing was changed. Move them out of " + rig.Folder +
                  " to the users they belong to, remove the folder (rmdir " + rig.Folder +
                  ") and run fax-printer-install again.\n");
    fs::remove(rig.Folder + "/FAX3.APF");
    fs::remove(rig.Folder + "/FAX12-1.APF");
    const std::string noUsers = NoFaxPrinterFolder(rig.Folder);
    EXPECT_EQ(rig.RunInstall().Output, noUsers);
    EXPECT_EQ(Laid(rig.Folder), (TLaid{0, S_IFDIR | 01777, {}}));
    // Once a backend made users/ there, the faxes are only to be moved.
    fs::create_directory(users);
    WriteFile(rig.Folder + "/FAX3.APF", "an earlier job's\n");
    EXPECT_EQ(rig.RunInstall().Output,
              "fax-printer-install: " + rig.Folder +
                  " holds FAX3.APF, faxes printed before each user's went into " + users +
                  "/<user>; nothing was changed. Move them out of " + rig.Folder +
                  " to the users they belong to and run fax-printer-install again.\n");
    fs::remove(rig.Folder + "/FAX3.APF");
    fs::remove(users);
    for (const std::string& target : {mine, open}) {
        SCOPED_TRACE(target);
        RunShell(b->Runs("ln -s " + target + " " + users));
        ExpectRefused(rig.RunInstall(), users + " is a link to " + target +
                                            " that daemon laid, not root's own folder");
        untouched();
        EXPECT_NE(RunShellCommand("lpstat -p APF_Fax_Printer").Status, 0);
        fs::remove(users);
    }
    RunShell(b->Runs("mkdir " + users));
    ExpectRefused(rig.RunInstall(), users + " is a folder of daemon's, not root's own");
    EXPECT_EQ(Laid(users).Uid, b->Uid);
    fs::remove(users);
    // Root's, but open to every user's writing: closed, never removed, as
    // it holds every user's faxes.
    fs::create_directories(users + "/nobody");
    ::chmod(users.c_str(), 0777);
    TShellResult r = rig.RunInstall();
    EXPECT_NE(r.Status, 0);
    EXPECT_NE(r.Output.find("fax-printer-install: " + users +
                            " is open to other users' writing; nothing was changed. Close it "
                            "(chmod go-w " +
                            users + ") and run fax-printer-install again."),
              std::string::npos)
        << r.Output;
    EXPECT_EQ(Laid(users).Mode & 07777, 0777u);
    // One a backend left closed to its users (CUPS's umask) opens again.
    // cupsd hands the backend this folder already, so nothing is asked.
    ::chmod(users.c_str(), 0700);
    r = rig.RunInstall();
    EXPECT_EQ(r.Status, 0) << r.Output;
    EXPECT_EQ(r.Output.find("SetEnv"), std::string::npos) << r.Output;
    EXPECT_EQ(Laid(users).Mode & 07777, 0755u);
    EXPECT_EQ(Laid(users).Names, std::vector<std::string>{"nobody"});
    fs::remove_all(users);

    // The folder in a place open to all: B lays its name first.
    const std::string tmp = rig.Dir.Path("tmp");
    fs::create_directory(tmp);
    ::chmod(tmp.c_str(), 01777);
    {
        TEnvVar inTmp("SKIPMAIL_PRINTFAX_DIR", tmp + "/printfax");
        RunShell(b->Runs("ln -s " + open + " " + tmp + "/printfax"));
        ExpectRefused(rig.RunInstall(), tmp + "/printfax is a link to " + open +
                                            " that daemon laid, not root's own folder");
        untouched();
        fs::remove(tmp + "/printfax");
        // Once it is there, cupsd is to hand the backend this folder: its
        // cups-files.conf names another, or (elsewhere) none.
        const std::string setEnv = "\"SetEnv SKIPMAIL_PRINTFAX_DIR " + tmp + "/printfax\"";
        r = rig.RunInstall();
        EXPECT_EQ(r.Status, 0) << r.Output;
        EXPECT_NE(r.Output.find("fax-printer-install: " + rig.ConfFolder() +
                                "/cups-files.conf hands the backend the folder " + rig.Folder +
                                ": make that line " + setEnv + " and restart cupsd\n"),
                  std::string::npos)
            << r.Output;
        r = rig.RunInstall("CUPS_SERVERROOT=" + rig.Dir.Path("elsewhere"));
        EXPECT_NE(r.Output.find("fax-printer-install: cupsd must hand the backend the folder too: "
                                "add " +
                                setEnv + " to " + rig.Dir.Path("elsewhere") +
                                "/cups-files.conf and restart cupsd\n"),
                  std::string::npos)
            << r.Output;
        fs::remove_all(tmp + "/printfax");
    }

    // B lays links again and again while the install runs: at users/ of a
    // fresh install, which is closed to B until users/ is root's, and of
    // the folder without users/ (refused, with B's link there or not); at
    // the folder's own name in the open place.
    struct TRound {
        std::string Folder;
        bool Fresh;
        bool FolderToo;
    };
    std::vector<TRound> rounds;
    for (int i = 0; i < 12; ++i) {
        rounds.push_back({rig.Folder, true, false});
        rounds.push_back({tmp + "/printfax", true, false});
        if (i % 3 == 0) {
            rounds.push_back({rig.Folder, false, false});
            rounds.push_back({tmp + "/printfax", true, true});
        }
    }
    int ready = 0;
    for (std::size_t i = 0; i < rounds.size(); ++i) {
        const TRound& round = rounds[i];
        const std::string target = i % 2 ? mine : open;
        SCOPED_TRACE(testing::Message() << "round " << i << " " << round.Folder << " to " << target
                                        << (round.Fresh ? " fresh" : " without users/")
                                        << (round.FolderToo ? " and at the folder" : ""));
        fs::remove_all(round.Folder);
        if (!round.Fresh) {
            fs::create_directory(round.Folder);
            ::chmod(round.Folder.c_str(), 01777);
        }
        TEnvVar folder("SKIPMAIL_PRINTFAX_DIR", round.Folder);
        std::string lay = "ln -sT " + target + " " + round.Folder + "/users";
        if (round.FolderToo)
            lay += "; ln -sT " + target + " " + round.Folder;
        TRacer layer(*b, "while :; do " + lay + "; done 2>/dev/null");
        ASSERT_TRUE(layer.Started());
        const TShellResult r = rig.RunInstall();
        layer.Stop();
        untouched();
        if (r.Status != 0) {
            EXPECT_FALSE(round.Fresh && !round.FolderToo) << r.Output;
            if (r.Output != noUsers) {
                EXPECT_NE(r.Output.find("; nothing was changed. Remove it and run "
                                        "fax-printer-install again."),
                          std::string::npos)
                    << r.Output;
            }
            continue;
        }
        EXPECT_TRUE(round.Fresh) << r.Output;
        ++ready;
        EXPECT_NE(r.Output.find("APF_Fax_Printer is ready"), std::string::npos) << r.Output;
        ExpectInstalledFolder(round.Folder);
    }
    EXPECT_GE(ready, 24);
}

// The cores a racer runs on alone and those left to the install, as taskset
// takes them; empty where there is no core to spare.
std::pair<std::string, std::string> RacerCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (!HaveProgram("taskset") || ::sched_getaffinity(0, sizeof set, &set) != 0)
        return {};
    std::vector<int> cores;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set))
            cores.push_back(cpu);
    if (cores.size() < 2)
        return {};
    std::string rest;
    for (std::size_t i = 0; i + 1 < cores.size(); ++i)
        rest += (rest.empty() ? "" : ",") + std::to_string(cores[i]);
    return {std::to_string(cores.back()), rest};
}

// Another user may make, remove and swap names in a folder of its own, in
// one open to all (as /tmp) and in a root folder open to all without the
// sticky bit. Root acts only on folders that no other user can move: the
// install refuses the others with words, and no raced install makes root
// make, change or chmod anything in a folder the other user chose.
TEST(FaxPrinterInstall, ActsOnlyOnFoldersNoOtherUserCanMove)
{
    NEEDS_FAX_PRINTER_TOOLS();
    FaxPrinterRig rig;
    ASSERT_TRUE(rig.Start());
    const std::optional<TUser> b = TUser::Make("daemon", rig.Dir);
    if (!b)
        SKIP_WITHOUT_TOOL("the user daemon");
    // T stands for /etc: a folder of root's that B would have root change.
    const std::string t = rig.Dir.Path("T");
    fs::create_directory(t);
    ::chmod(t.c_str(), 0755);
    const std::string open = rig.Dir.Path("open"), tmp = rig.Dir.Path("tmp");
    fs::create_directory(open);
    ::chmod(open.c_str(), 0777);
    fs::create_directory(tmp);
    ::chmod(tmp.c_str(), 01777);
    const TLaid tBefore = Laid(t), homeBefore = Laid(b->Home, b->Uid);

    // A folder of root's that holds what no fax printer folder holds (a
    // stand-in for /etc), and the machine's / by any name, are never opened
    // to every user. The machine's own is tried only once the stand-in was
    // refused.
    const std::string etc = rig.Dir.Path("etc");
    fs::create_directories(etc + "/ssh");
    WriteFile(etc + "/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    ::chmod(etc.c_str(), 0755);
    const TLaid etcBefore = Laid(etc);
    const std::string refused = "; nothing was changed. Name a folder of the fax printer's own "
                                "(SKIPMAIL_PRINTFAX_DIR, a new one will do) and run "
                                "fax-printer-install again.\n";
    {
        TEnvVar folder("SKIPMAIL_PRINTFAX_DIR", etc);
        const TShellResult r = rig.RunInstall();
        EXPECT_EQ(Laid(etc), etcBefore);
        ASSERT_EQ(r.Output, "fax-printer-install: " + etc +
                                " holds passwd, ssh, which no fax printer folder holds (users/ "
                                "and the station's request-XXXXXX folders alone)" +
                                refused);
    }
    // Nor is one that holds nothing (a stand-in for /usr/local/sbin, first
    // in root's PATH), whatever its mode: one an install cut short left
    // (0700) or one open to all (as /run/lock). None gets users/.
    const std::string sbin = rig.Dir.Path("sbin");
    for (const mode_t mode : {0755, 0700, 01777}) {
        SCOPED_TRACE(mode);
        fs::create_directory(sbin);
        ::chmod(sbin.c_str(), mode);
        TEnvVar folder("SKIPMAIL_PRINTFAX_DIR", sbin);
        EXPECT_EQ(rig.RunInstall().Output, NoFaxPrinterFolder(sbin));
        EXPECT_EQ(Laid(sbin), (TLaid{0, S_IFDIR | mode, {}}));
        fs::remove(sbin);
    }
    const TLaid rootBefore = Laid("/");
    for (const char* root : {"/", "//", "/.", "/./", "//.//."}) {
        SCOPED_TRACE(root);
        TEnvVar folder("SKIPMAIL_PRINTFAX_DIR", root);
        const TShellResult r = rig.RunInstall();
        EXPECT_EQ(r.Output, "fax-printer-install: the fax printer folder " + std::string(root) +
                                " is the machine's root folder /" + refused);
        ASSERT_EQ(Laid("/").Mode, rootBefore.Mode);
        ASSERT_EQ(fs::exists("/users"),
                  std::count(rootBefore.Names.begin(), rootBefore.Names.end(), "users") > 0);
    }

    // A name longer than the file system takes is said to be so, above the
    // folder or as the folder itself: nothing changed it.
    const std::string longName = tmp + "/" + std::string(300, 'x');
    const long most = ::pathconf(tmp.c_str(), _PC_NAME_MAX);
    for (const std::string& folder : {longName + "/printfax", longName}) {
        SCOPED_TRACE(folder.size());
        TEnvVar inFolder("SKIPMAIL_PRINTFAX_DIR", folder);
        EXPECT_EQ(rig.RunInstall().Output,
                  "fax-printer-install: " + longName +
                      " is a name too long for its file system (300 bytes, where it takes " +
                      std::to_string(most) +
                      " at most); nothing was changed. Name the fax printer folder with shorter "
                      "names (SKIPMAIL_PRINTFAX_DIR) and run fax-printer-install again.\n");
    }

    // A link of root's above it, as /var/run: the folder is named without.
    const std::string run = rig.Dir.Path("run");
    fs::create_directory_symlink(tmp, run);
    {
        TEnvVar inFolder("SKIPMAIL_PRINTFAX_DIR", run + "/printfax");
        EXPECT_EQ(
            rig.RunInstall().Output,
            "fax-printer-install: " + run + ", which holds the fax printer folder, is a link to " +
                tmp +
                ", and no link is followed on the way to the fax printer folder; nothing was "
                "changed. Name the fax printer folder without the link (SKIPMAIL_PRINTFAX_DIR=" +
                fs::canonical(tmp).string() + "/printfax) and run fax-printer-install again.\n");
        EXPECT_FALSE(fs::exists(tmp + "/printfax"));
    }
    // One that names a process's folder, as /proc/self/cwd names the
    // install's: the words name the folder itself, not that of a process
    // gone by the time they are read.
    {
        TEnvVar inFolder("SKIPMAIL_PRINTFAX_DIR", "/proc/self/cwd/printfax");
        std::string said = rig.RunInstall("env -C " + tmp).Output;
        // Which process /proc/self was, in the words of the link.
        const std::string to = "is a link to ";
        if (const std::size_t at = said.find(to); at != std::string::npos) {
            const std::size_t end = said.find(',', at);
            const std::string pid = said.substr(at + to.size(), end - at - to.size());
            EXPECT_TRUE(!pid.empty() && std::all_of(pid.begin(), pid.end(), ::isdigit)) << pid;
            said.erase(at + to.size(), end - at - to.size());
        }
        EXPECT_EQ(said, "fax-printer-install: /proc/self, which holds the fax printer folder, is a "
                        "link to , and no link is followed on the way to the fax printer folder; "
                        "nothing was changed. Name the fax printer folder without the link "
                        "(SKIPMAIL_PRINTFAX_DIR=" +
                            fs::canonical(tmp).string() +
                            "/printfax) and run fax-printer-install again.\n");
        EXPECT_FALSE(fs::exists(tmp + "/printfax"));
    }

    const auto [racerCore, installCores] = RacerCores();
    const std::string holds = ", which holds the fax printer folder,";
    struct TLayout {
        std::string Folder;
        std::string Raced;   // the name B makes, removes and lays as a link to T
        std::string Refusal; // empty: the install may go through
    };
    for (const TLayout& layout :
         {TLayout{tmp + "/printfax", tmp + "/printfax", ""},
          {b->Path("spool/printfax"), b->Path("spool"),
           b->Home + holds +
               " is a folder of daemon's, not root's own; nothing was changed. Put "
               "the fax printer folder where every folder above it is root's alone "
               "(SKIPMAIL_PRINTFAX_DIR) and run fax-printer-install again."},
          {open + "/printfax", open + "/printfax",
           open + holds +
               " is open to other users' writing without the sticky bit; nothing was "
               "changed. Close it (chmod go-w " +
               open +
               "), or put the fax printer folder elsewhere, and run fax-printer-install "
               "again."}}) {
        SCOPED_TRACE(layout.Folder);
        TEnvVar folder("SKIPMAIL_PRINTFAX_DIR", layout.Folder);
        int ready = 0;
        for (int round = 0; round < 20; ++round) {
            SCOPED_TRACE(round);
            const std::string f = layout.Raced;
            TRacer racer(*b,
                         "echo racing; while :; do mkdir " + f + "; rmdir " + f + "; ln -sT " + t +
                             " " + f + "; rm -f " + f + "; done 2>/dev/null",
                         racerCore);
            ASSERT_TRUE(racer.Started());
            ASSERT_TRUE(PumpUntil([&] { return racer.Process().canReadLine(); }, 10000));
            const TShellResult r =
                rig.RunInstall(racerCore.empty() ? "" : "taskset -c " + installCores);
            racer.Stop();
            EXPECT_EQ(Laid(t), tBefore);
            EXPECT_EQ(Laid(b->Home, b->Uid), homeBefore);
            if (r.Status == 0) {
                ++ready;
                EXPECT_TRUE(layout.Refusal.empty()) << r.Output;
                ExpectInstalledFolder(layout.Folder);
            } else if (layout.Refusal.empty()) {
                // Whatever B had laid there when the install looked.
                EXPECT_EQ(r.Output.rfind("fax-printer-install: " + layout.Folder + " ", 0), 0u)
                    << r.Output;
                EXPECT_NE(r.Output.find("; nothing was changed. "), std::string::npos) << r.Output;
            } else {
                EXPECT_EQ(r.Output, "fax-printer-install: " + layout.Refusal + "\n");
            }
            std::error_code ec;
            fs::remove_all(layout.Folder, ec);
            fs::remove(layout.Raced, ec);
        }
        if (layout.Refusal.empty()) {
            EXPECT_GE(ready, 1);
        }
    }
}

// A scheduler with only CUPS's stock "default" policy takes any user's word
// for who it is.
TEST(FaxPrinterInstall, WithoutTheAuthenticatedPolicyTheQueueTakesNoJob)
{
    NEEDS_FAX_PRINTER_TOOLS();
    FaxPrinterRig rig;
    ASSERT_TRUE(rig.Start(true));
    const TShellResult r = rig.RunInstall();
    EXPECT_NE(r.Status, 0);
    EXPECT_NE(r.Output.find("Add CUPS's stock <Policy authenticated> block (in "
                            "/usr/share/cups/cupsd.conf.default) to cupsd.conf, restart cupsd "
                            "and run fax-printer-install again."),
              std::string::npos)
        << r.Output;
    EXPECT_EQ(r.Output.find("is ready"), std::string::npos) << r.Output;

    const std::string pdf = rig.Pdf("doc", kTwoPages);
    const TShellResult lp = RunShellCommand("lp -d APF_Fax_Printer " + pdf);
    EXPECT_NE(lp.Status, 0) << lp.Output;
    EXPECT_NE(lp.Output.find("not accepting jobs"), std::string::npos) << lp.Output;
    // The station is told why at once.
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(pdf);
    EXPECT_NE(FailureOf<EInOutError>(cvt).find("the scheduler has no \"authenticated\" operation "
                                               "policy"),
              std::string::npos);
    EXPECT_EQ(RunShellCommand("lpstat -W all -o APF_Fax_Printer").Output, "");
}

// The job number in lp's "request id is APF_Fax_Printer-N (1 file(s))".
int JobOf(const std::string& said)
{
    const std::string queue = std::string(FaxPrinter::kQueueName) + "-";
    const std::size_t at = said.find(queue);
    return at == std::string::npos ? 0 : std::atoi(said.c_str() + at + queue.size());
}

// Under another operation policy than "authenticated", B may queue jobs in
// A's name. The install stops an existing queue before it changes it, and a
// queue it refuses or moves to "authenticated" keeps no job queued before:
// none of them prints into A's folder later.
TEST(FaxPrinterInstall, NoJobQueuedUnderAnOpenPolicyPrintsAfterARefusalOrAChange)
{
    NEEDS_FAX_PRINTER_TOOLS();
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "refused" : "changed");
        FaxPrinterRig rig;
        ASSERT_TRUE(rig.Start(refused));
        const std::optional<TUser> a = TUser::Make("nobody", rig.Dir);
        const std::optional<TUser> b = TUser::Make("daemon", rig.Dir);
        if (!a || !b)
            SKIP_WITHOUT_TOOL("the users nobody and daemon");
        const std::string doc = rig.Dir.Path("doc.ps");
        WriteFile(doc, kTwoPages);
        ::chmod(doc.c_str(), 0644);
        // A queue left open by an earlier install, held while B queues.
        if (refused) {
            ASSERT_EQ(rig.Cups->Admin("-p APF_Fax_Printer -v stall: -E"), 0);
        } else {
            ASSERT_TRUE(rig.Install());
            ASSERT_EQ(rig.Cups->Admin("-p APF_Fax_Printer -o printer-op-policy=default"), 0);
        }
        RunShell("cupsdisable APF_Fax_Printer");
        // One that B cancelled keeps its document too.
        const std::string lp = "lp -U nobody -d APF_Fax_Printer " + doc;
        std::vector<int> jobs = {JobOf(RunShell(b->Runs(lp)))};
        RunShell(b->Runs("cancel -U nobody " + std::to_string(jobs[0])));
        for (int i = 0; i < 3; ++i)
            jobs.push_back(JobOf(RunShell(b->Runs(lp))));
        ASSERT_TRUE(PumpUntil([&] { return rig.WaitingJobs() == 3; }, 30000)) << rig.Waiting();

        const TShellResult r = rig.RunInstall();
        EXPECT_EQ(r.Status, refused ? 1 : 0) << r.Output;
        EXPECT_NE(r.Output.find("fax-printer-install: cancelled 3 job(s) queued under the queue's "
                                "\"default\" operation policy, where any user may have made or "
                                "changed them in another user's name, and removed their "
                                "documents; their users print them anew."),
                  std::string::npos)
            << r.Output;
        EXPECT_EQ(rig.Waiting(), "");
        // Nobody restarts one, not even A, whose name they bear (as a
        // desktop's "Reprint" would).
        for (const int job : jobs)
            for (const TUser* user : {&*a, &*b}) {
                const std::string restart =
                    "lp -U nobody -i " + std::to_string(job) + " -H restart";
                EXPECT_NE(RunShellCommand(user->Runs(restart) + " 2>&1").Status, 0)
                    << user->Name << " restarted " << job;
            }
        EXPECT_EQ(rig.Waiting(), "");
        ASSERT_TRUE(rig.AllJobsEnded()) << rig.Waiting();
        EXPECT_FALSE(fs::exists(rig.Folder + "/users/nobody"));
        if (refused)
            continue;
        // Under "authenticated" already, a queue keeps what its users sent.
        RunShell("cupsdisable APF_Fax_Printer");
        const int kept = JobOf(RunShell(a->Runs("lp -d APF_Fax_Printer " + doc)));
        ASSERT_TRUE(PumpUntil([&] { return rig.WaitingJobs() == 1; }, 30000)) << rig.Waiting();
        const TShellResult again = rig.RunInstall();
        EXPECT_EQ(again.Status, 0) << again.Output;
        EXPECT_EQ(again.Output.find("cancelled"), std::string::npos) << again.Output;
        ASSERT_TRUE(rig.AllJobsEnded()) << rig.Waiting();
        EXPECT_EQ(SortedNames(rig.Folder + "/users/nobody"),
                  std::vector<std::string>{"FAX" + std::to_string(kept) + ".APF"});
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
        C = TUser::Make("bin", Rig.Dir);
        if (!A || !B || !C)
            SKIP_WITHOUT_TOOL("the users nobody, daemon and bin");
        Doc = Rig.Pdf("doc", kTwoPages);
        WriteFile(Rig.Dir.Path("evil.ps"), "%!PS\n0 0 595 842 rectfill showpage\n");
        ::chmod(Rig.Dir.Path("evil.ps").c_str(), 0644);
    }

    // The first page of the document that `user` converted into `name`, as
    // a reference.
    Picture Reference(const TUser& user, const std::string& name)
    {
        EXPECT_EQ(RunShellCommand(user.Runs(FaxCvt(Doc, user.Path(name), "--high"))).Status, 0);
        return UnpackedPage(user.Path(name), 1);
    }

    std::optional<TUser> A, B, C;
    std::string Doc;
};

// A user's shell print that stops once its job is made, until Go.
class TPausedPrint {
public:
    bool Start(const TUser& user, const std::string& document, const std::string& out)
    {
        P_.start("sh",
                 {"-c", QString::fromStdString(user.Runs(std::string(SKIPMAIL_IPP_USER) +
                                                         " station " + document + " " + out))});
        if (!PumpUntil([&] { return P_.canReadLine() || P_.state() == QProcess::NotRunning; },
                       30000))
            return false;
        const std::string line = P_.readLine().toStdString();
        if (line.rfind("job ", 0) != 0) {
            ADD_FAILURE() << line << P_.readAllStandardError().toStdString();
            return false;
        }
        Job = std::stoi(line.substr(4));
        return true;
    }
    // Sends the document and waits for the end: the exit code, and the
    // reason on failure.
    std::pair<int, std::string> Go()
    {
        P_.write("\n");
        P_.closeWriteChannel();
        EXPECT_TRUE(P_.waitForFinished(120000));
        std::string said = P_.readAllStandardError().toStdString();
        said.erase(0, said.find_last_of('\n', said.size() - 2) + 1);
        while (!said.empty() && said.back() == '\n')
            said.pop_back();
        return {P_.exitCode(), said};
    }
    int Job = 0;

private:
    QProcess P_;
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
    EXPECT_EQ(Requests(Rig.Folder), std::vector<std::string>{});
}

TEST_F(FaxPrinterUsers, AReplayedHandleNeverWritesAnotherUsersFile)
{
    const TUser *a = &*A, *b = &*B;
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
    // still is not the job the request was made for. The queue's policy
    // refuses a job in another user's name; a scheduler without that policy
    // takes it.
    ASSERT_EQ(Rig.Cups->Admin("-p APF_Fax_Printer -o printer-op-policy=default"), 0);
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

TEST_F(FaxPrinterUsers, NoUserActsOnAnotherUsersJobByNamingThatUser)
{
    const TUser &a = *A, &b = *B;
    const Picture own = Reference(a, "own.apf");
    const std::string evil = Rig.Dir.Path("evil.ps");

    // A's job from another program, held, and A's station print, stopped
    // between its job and its document: B names itself A at each.
    const int heldJob = JobOf(RunShell(a.Runs("lp -d APF_Fax_Printer -H indefinite " + Doc)));
    const std::string id = std::to_string(heldJob);
    TPausedPrint station;
    ASSERT_TRUE(station.Start(a, Doc, a.Path("station.apf")));
    for (const int job : {heldJob, station.Job}) {
        SCOPED_TRACE(job);
        const std::string n = std::to_string(job);
        for (const std::string& attempt :
             {std::string(SKIPMAIL_IPP_USER) + " send-document " + n + " " + evil + " " + a.Name,
              std::string(SKIPMAIL_IPP_USER) + " send-document " + n + " " + evil + " " + a.Name +
                  " more",
              "lp -U " + a.Name + " -i " + n + " -o page-ranges=2",
              "lp -U " + a.Name + " -i " + n + " -o number-up=2",
              "lp -U " + a.Name + " -i " + n + " -H resume",
              "lp -U " + a.Name + " -i " + n + " -H indefinite", "cancel -U " + a.Name + " " + n}) {
            SCOPED_TRACE(attempt);
            EXPECT_NE(RunShellCommand(b.Runs(attempt)).Status, 0);
        }
    }
    // Nor makes a job in A's name.
    EXPECT_NE(RunShellCommand(b.Runs("lp -U " + a.Name + " -d APF_Fax_Printer " + evil)).Status, 0);

    const auto [exit, said] = station.Go();
    EXPECT_EQ(exit, 0) << said;
    EXPECT_EQ(UnpackedPage(a.Path("station.apf"), 1), own);
    RunShell(a.Runs("lp -i " + std::to_string(heldJob) + " -H resume"));
    ASSERT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    const std::string fax = Rig.Folder + "/users/" + a.Name + "/FAX" + id + ".APF";
    EXPECT_EQ(Pages(fax), 2);
    EXPECT_EQ(UnpackedPage(fax, 1), UnpackedPage(a.Path("station.apf"), 1));
}

TEST_F(FaxPrinterUsers, WithoutThePolicyAStationJobStillHoldsOnlyWhatItsRequesterSent)
{
    // A scheduler that lacks the queue's policy takes a user's word for
    // who it is.
    ASSERT_EQ(Rig.Cups->Admin("-p APF_Fax_Printer -o printer-op-policy=default"), 0);
    const TUser &a = *A, &b = *B;
    const std::string evil = Rig.Dir.Path("evil.ps");
    struct TMeddling {
        const char* What;
        std::string Command; // %d: the job
        std::vector<std::string> Said;
    };
    const std::string besides = "the job holds a document besides the one the station sent";
    const std::vector<TMeddling> meddlings = {
        {"B's pages before A's",
         std::string(SKIPMAIL_IPP_USER) + " send-document %d " + evil + " " + a.Name + " more",
         {besides}},
        // The job may start on B's pages before A's arrive.
        {"B's pages as the job's last",
         std::string(SKIPMAIL_IPP_USER) + " send-document %d " + evil + " " + a.Name,
         {besides, "the job's document is not the one the station sent",
          "Job #%d is not accepting documents."}},
        {"a page range",
         "lp -U " + a.Name + " -i %d -o page-ranges=2",
         {"the job's options were changed (page-ranges=2)"}},
    };
    for (const TMeddling& m : meddlings) {
        SCOPED_TRACE(m.What);
        const std::string out = a.Path("meddled.apf");
        TPausedPrint station;
        ASSERT_TRUE(station.Start(a, Doc, out));
        const auto withJob = [&](std::string text) {
            if (const std::size_t at = text.find("%d"); at != std::string::npos)
                text.replace(at, 2, std::to_string(station.Job));
            return text;
        };
        RunShell(b.Runs(withJob(m.Command)));
        const auto [exit, said] = station.Go();
        EXPECT_EQ(exit, 1);
        std::vector<std::string> refusals;
        for (const std::string& text : m.Said)
            refusals.push_back(withJob(text));
        EXPECT_NE(std::find(refusals.begin(), refusals.end(), said), refusals.end()) << said;
        EXPECT_FALSE(fs::exists(out));
        ASSERT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    }
    EXPECT_EQ(Requests(Rig.Folder), std::vector<std::string>{});
}

TEST_F(FaxPrinterUsers, AnLpJobsFaxIsItsUsersAlone)
{
    const TUser &a = *A, &b = *B, &c = *C;
    // B lays files on the next job numbers and tries to make A's folder.
    int next = 1;
    std::istringstream jobs(RunShell("lpstat -W all -o"));
    for (std::string id, rest; jobs >> id && std::getline(jobs, rest);)
        next = std::max(next, std::stoi(id.substr(id.rfind('-') + 1)) + 1);
    for (int n = next; n < next + 3; ++n)
        RunShell(b.Runs("touch " + Rig.Folder + "/FAX" + std::to_string(n) + ".APF"));
    EXPECT_NE(RunShellCommand(b.Runs("mkdir -p " + Rig.Folder + "/users/" + a.Name)).Status, 0);

    const int job = JobOf(RunShell(a.Runs("lp -d APF_Fax_Printer " + Doc)));
    ASSERT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    const std::string fax = Rig.Folder + "/users/" + a.Name + "/FAX" + std::to_string(job) + ".APF";
    EXPECT_EQ(job, next);
    ASSERT_EQ(Pages(fax), 2);
    EXPECT_EQ(a.OwnerOf(fax), a.Uid);
    for (const TUser* other : {&b, &c}) {
        SCOPED_TRACE(other->Name);
        EXPECT_NE(RunShellCommand(other->Runs("cat " + fax + " >/dev/null")).Status, 0);
        EXPECT_NE(RunShellCommand(other->Runs("ls " + Rig.Folder + "/users/" + a.Name)).Status, 0);
    }
    EXPECT_EQ(RunShellCommand(a.Runs("cat " + fax + " >/dev/null")).Status, 0);
    EXPECT_EQ(RunShellCommand(a.Runs("rm " + fax)).Status, 0);
    EXPECT_FALSE(fs::exists(fax));

    // A clean-up removed users/: the backend makes it again under CUPS's
    // umask, and A's next job goes through.
    fs::remove_all(Rig.Folder + "/users");
    const int again = JobOf(RunShell(a.Runs("lp -d APF_Fax_Printer " + Doc)));
    ASSERT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    const std::string made =
        Rig.Folder + "/users/" + a.Name + "/FAX" + std::to_string(again) + ".APF";
    ASSERT_TRUE(fs::exists(made)) << RunShell("lpstat -W completed -l -o APF_Fax_Printer");
    EXPECT_EQ(Pages(made), 2);
}

// A class that holds the queue, or another queue on the backend's device,
// has CUPS's default policy: B may send a job there in A's name. The fax
// printer writes none of their jobs, and the install names them.
TEST_F(FaxPrinterUsers, OnlyAJobSentToTheQueueItselfIsWritten)
{
    const TUser &a = *A, &b = *B;
    ASSERT_EQ(Rig.Cups->Admin("-p APF_Fax_Printer -c FaxClass"), 0);
    RunShell("cupsaccept FaxClass");
    RunShell("cupsenable FaxClass");
    ASSERT_EQ(Rig.Cups->Admin("-p OtherFax -v printfax: -E"), 0);
    const std::string why =
        ": only its own queue keeps each job its user's. Print to APF_Fax_Printer itself.";
    const std::string throughClass =
        "the fax printer writes no job that came through a class (this one came through "
        "FaxClass)" +
        why;
    const std::string otherQueue =
        "the fax printer writes no job of another queue (this one came from OtherFax)" + why;
    for (const auto& [queue, words] : {std::pair{std::string("FaxClass"), throughClass},
                                       {std::string("OtherFax"), otherQueue}}) {
        SCOPED_TRACE(queue);
        const std::string said = RunShell(b.Runs("lp -d " + queue + " -U " + a.Name + " " + Doc));
        const std::size_t at = said.find(queue + "-");
        ASSERT_NE(at, std::string::npos) << said;
        const int job = std::atoi(said.c_str() + at + queue.size() + 1);
        ASSERT_TRUE(PumpUntil([&] { return RunShell("lpstat -o").empty(); }, 60000))
            << RunShell("lpstat -o");
        EXPECT_EQ(JobMessage(job), words);
    }
    // A station's request that came through the class: its requester reads
    // why.
    fs::create_directories(Rig.Dir.Path("spool"));
    TEnvVar spool("CUPS_REQUESTROOT", Rig.Dir.Path("spool"));
    const auto request = MakeRequest(a.Path("class.apf"), 77);
    for (const std::string& path : {request->Path(), request->SettingsPath()})
        ASSERT_EQ(::chown(path.c_str(), a.Uid, a.Gid), 0);
    const BackendRun r =
        RunBackend(Job("77", StationOptions(*request), a.Name),
                   RasterStream({{TestPattern(kStandardWidth, 400, 8), 196}}), Rig.Folder,
                   {{"CLASS", "FaxClass"}, {"PRINTER", "APF_Fax_Printer"}});
    EXPECT_EQ(r.Exit, kCancelJob);
    EXPECT_EQ(r.Err, "ERROR: " + throughClass + "\nINFO: \n");
    EXPECT_EQ(request->BackendReason(), throughClass);
    EXPECT_FALSE(fs::exists(a.Path("class.apf")));
    std::vector<std::string> written;
    for (const auto& e : fs::recursive_directory_iterator(Rig.Folder + "/users"))
        written.push_back(e.path().string());
    EXPECT_EQ(written, std::vector<std::string>{});

    // The queue itself still serves A, and an install again says what to do
    // with the others.
    const int own = JobOf(RunShell(a.Runs("lp -d APF_Fax_Printer " + Doc)));
    ASSERT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    EXPECT_EQ(Pages(Rig.Folder + "/users/" + a.Name + "/FAX" + std::to_string(own) + ".APF"), 2);
    const TShellResult again = Rig.RunInstall();
    EXPECT_EQ(again.Status, 0) << again.Output;
    for (const char* named :
         {"fax-printer-install: the class FaxClass holds APF_Fax_Printer; the fax printer refuses "
          "every job that comes through a class, writing nothing, as a class may take a job in "
          "another user's name. Take APF_Fax_Printer out of it (lpadmin -p APF_Fax_Printer -r "
          "FaxClass) and print to APF_Fax_Printer itself.",
          "fax-printer-install: the queue OtherFax prints to the fax printer's device too; the fax "
          "printer refuses its jobs, writing nothing, as only APF_Fax_Printer keeps each job its "
          "user's. Remove it (lpadmin -x OtherFax) and print to APF_Fax_Printer itself.",
          "fax-printer-install: APF_Fax_Printer is ready"})
        EXPECT_NE(again.Output.find(named), std::string::npos) << again.Output;
}

TEST_F(FaxPrinterUsers, ARunawayJobIsEndedAndWhoeverWaitsBehindItIsToldWhy)
{
    // The scheduler's answers as they came for jobs of long.ps under a 3 s
    // limit: while its programs stop, a cancelled job says only that it is
    // stopping, and by whom once they have. Whichever the station reads, a
    // cancel is never the document's fault, and a job that ran longer than
    // the limit met it.
    {
        using FaxPrinter::TJobAnswer;
        const int began = 1796710876;
        const TJobAnswer stopping{IPP_JSTATE_CANCELED,
                                  {"processing-to-stop-point"},
                                  "Color Manager: no profiles specified in PPD",
                                  3,
                                  began,
                                  began + 10};
        const auto ran = [&](TJobAnswer job, int seconds, bool stopped) {
            job.Completed = began + seconds;
            if (stopped)
                job.Reasons = {"job-canceled-by-user"};
            return job;
        };
        const std::string pastLimit = "long.ps ran past the fax printer's 3 s limit, and its job "
                                      "was cancelled";
        const std::string atLimit = "the fax printer's job was cancelled after 3 s; the fax "
                                    "printer ends jobs at 3 s";
        const std::string cancelled = "the fax printer's job was cancelled";
        const std::string empty = "long.ps gave no pages";
        const std::string unknown = "the pages of long.ps stopped before their end, and the print "
                                    "service did not say whether its job was cancelled";
        const TJobAnswer noPages{
            IPP_JSTATE_CANCELED, {"processing-to-stop-point"}, empty, 3, began, began};
        TJobAnswer filterSaid = noPages;
        filterSaid.Message = "Unable to render";
        const struct {
            TJobAnswer Job;
            std::string Backend, Said;
        } answers[] = {
            {ran(stopping, 10, false), "", pastLimit},
            {ran(stopping, 10, true), "", pastLimit},
            {ran(stopping, 3, false), "", atLimit},
            {ran(stopping, 3, true), "", atLimit},
            {ran(stopping, 1, false), "", cancelled},
            // The backend's words from before the cancel.
            {ran(stopping, 1, true), empty, cancelled},
            // A backend that could not learn its job's end blames nobody,
            // and its words stand where the job's own do not tell more.
            {ran(stopping, 10, false), unknown, pastLimit},
            {ran(stopping, 1, true), unknown, cancelled},
            {ran(stopping, 1, false), unknown, unknown},
            {noPages, unknown, unknown},
            // The backend's own cancel: the words are its.
            {noPages, empty, empty},
            {filterSaid, empty,
             "the print service could not render long.ps (a damaged document, or one of a kind it "
             "cannot print)"},
        };
        for (const auto& [job, backend, said] : answers)
            EXPECT_EQ(FaxPrinter::JobEndWords(job, backend, "long.ps"), said)
                << job.Reasons[0] << ", ran " << job.Completed - job.Processing;
    }

    EXPECT_NE(RunShell("lpoptions -p APF_Fax_Printer")
                  .find("job-cancel-after=" + std::to_string(FaxPrinter::kJobTimeLimitSeconds)),
              std::string::npos);
    // The same limit, made short for the test.
    ASSERT_EQ(Rig.Cups->Admin("-p APF_Fax_Printer -o job-cancel-after-default=5"), 0);
    const TUser &a = *A, &b = *B;
    WriteFile(Rig.Dir.Path("endless.ps"), "%!PS\n{} loop\n");
    ::chmod(Rig.Dir.Path("endless.ps").c_str(), 0644);
    RunShell(b.Runs("lp -d APF_Fax_Printer " + Rig.Dir.Path("endless.ps")));
    ASSERT_TRUE(PumpUntil(
        [&] {
            return RunShell("lpstat -p APF_Fax_Printer").find("now printing") != std::string::npos;
        },
        30000));

    // A wait shorter than the limit ends while B's job still runs.
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(Doc);
    cvt.SetOutFileName(Rig.Dir.Path("behind.apf"));
    cvt.ShellTimeout = 1000;
    EXPECT_EQ(FailureOf<ETimeout>(cvt), "the fax printer was busy with another job");
    EXPECT_FALSE(fs::exists(Rig.Dir.Path("behind.apf")));

    // A's, waiting as long as the station does, comes once B's is ended.
    const TShellResult r = RunShellCommand(a.Runs(FaxCvt(Doc, a.Path("after.apf"))) + " 2>&1");
    EXPECT_EQ(r.Status, 0) << r.Output;
    EXPECT_EQ(Pages(a.Path("after.apf")), 2);
    EXPECT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();

    // A runaway of the station's own is told apart from a cancel by hand.
    // The scheduler ends it in its limit's second or later.
    const auto cutAtTheLimit = [&](const std::string& name) {
        SCOPED_TRACE(name);
        const std::string out = a.Path(name + ".apf");
        const TShellResult r =
            RunShellCommand(a.Runs(FaxCvt(Rig.Dir.Path(name + ".ps"), out)) + " 2>&1");
        EXPECT_EQ(r.Status, 1);
        EXPECT_TRUE(r.Output.find(name + ".ps ran past the fax printer's 5 s limit, and its job "
                                         "was cancelled") != std::string::npos ||
                    r.Output.find("the fax printer's job was cancelled after 5 s; the fax "
                                  "printer ends jobs at 5 s") != std::string::npos)
            << r.Output;
        EXPECT_FALSE(fs::exists(out));
    };
    cutAtTheLimit("endless");
    // So is a document whose pages still flow when the limit cuts it.
    std::string pages = "%!PS\n";
    for (int page = 0; page < 3000; ++page)
        pages += "0 1 4000 { dup 0.14 mul 0 moveto 0.2 mul 595 exch lineto } for stroke showpage\n";
    WriteFile(Rig.Dir.Path("long.ps"), pages);
    ::chmod(Rig.Dir.Path("long.ps").c_str(), 0644);
    cutAtTheLimit("long");
    QProcess byHand;
    byHand.start("sh", {"-c", QString::fromStdString(a.Runs(
                                  FaxCvt(Rig.Dir.Path("endless.ps"), a.Path("cancelled.apf"))))});
    ASSERT_TRUE(PumpUntil(
        [&] {
            return RunShell("lpstat -p APF_Fax_Printer").find("now printing") != std::string::npos;
        },
        30000));
    const std::string printing = Rig.Waiting();
    RunShell(a.Runs("cancel " + printing.substr(0, printing.find(' '))));
    ASSERT_TRUE(byHand.waitForFinished(60000));
    EXPECT_EQ(byHand.exitCode(), 1);
    const std::string said = byHand.readAllStandardError().toStdString();
    EXPECT_NE(said.find("the fax printer's job was cancelled"), std::string::npos) << said;
    // The filters' output ends before the backend hears of the cancel: what
    // it read then is no document's fault, and it says nothing. A job the
    // scheduler did not end is said to have given no pages.
    for (const std::string& job : {std::to_string(JobOf(printing)), std::string("99999")}) {
        SCOPED_TRACE(job);
        const BackendRun r = RunBackend(
            {QString::fromStdString(job), QString::fromStdString(a.Name), "endless.ps", "1", ""},
            "", Rig.Folder);
        EXPECT_EQ(r.Exit, kCancelJob);
        const std::string words =
            job == "99999" ? "ERROR: endless.ps gave no pages\nINFO: \n" : "INFO: \n";
        EXPECT_EQ(r.Err, words);
    }
    // A scheduler the backend cannot reach, or one that takes the question
    // and never answers: the end is not known, so no document is blamed,
    // and the queue is held a few seconds at most, SIGTERM ending the wait.
    const std::string gone = Rig.Dir.Path("gone.sock"), silent = Rig.Dir.Path("silent.sock");
    const FaxPrinter::TFd listener(
        ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", silent.c_str());
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_EQ(::listen(listener.Get(), 16), 0);
    // The backend asks as the job's user.
    ::chmod(silent.c_str(), 0666);
    const std::string unknown =
        "ERROR: " + FaxPrinter::UnknownEndReason("endless.ps") + "\nINFO: \n";
    const QStringList run = {"99999", QString::fromStdString(a.Name), "endless.ps", "1", ""};
    for (const std::string& server : {gone, silent}) {
        SCOPED_TRACE(server);
        const auto began = std::chrono::steady_clock::now();
        const BackendRun r = RunBackend(run, "", Rig.Folder, {{"CUPS_SERVER", server}});
        EXPECT_EQ(r.Exit, kCancelJob);
        EXPECT_EQ(r.Err, unknown);
        // Well before the minute an unbounded question took.
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
    }
    // The questions of the runs above, their askers gone.
    for (int took; (took = ::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        ::close(took);
    QProcess asking;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SKIPMAIL_PRINTFAX_DIR", QString::fromStdString(Rig.Folder));
    env.insert("CUPS_SERVER", QString::fromStdString(silent));
    asking.setProcessEnvironment(env);
    asking.start(SKIPMAIL_PRINTFAX_BACKEND, run);
    ASSERT_TRUE(asking.waitForStarted(10000));
    asking.closeWriteChannel();
    // Its question waits on the socket: the cancel's SIGTERM comes then.
    ASSERT_TRUE(PumpUntil(
        [&] {
            pollfd question{listener.Get(), POLLIN, 0};
            return ::poll(&question, 1, 0) > 0;
        },
        30000));
    asking.terminate();
    ASSERT_TRUE(asking.waitForFinished(20000));
    EXPECT_EQ(asking.exitCode(), kCancelJob);
    EXPECT_EQ(asking.readAllStandardError().toStdString(), "INFO: \n");

    // Cancelled by hand as the limit's second begins (the scheduler counts
    // whole seconds): it ran as long as the limit, and whose cancel ended it
    // cannot be known. It is no fault of the document's either.
    QProcess lastSecond;
    lastSecond.start("sh", {"-c", QString::fromStdString(a.Runs(
                                      FaxCvt(Rig.Dir.Path("endless.ps"), a.Path("last.apf"))))});
    int job = 0, began = 0;
    ASSERT_TRUE(PumpUntil(
        [&] {
            const std::string waiting = Rig.Waiting();
            job = JobOf(waiting);
            began = job ? JobTime(job, "time-at-processing") : 0;
            return began > 0;
        },
        30000));
    ASSERT_TRUE(PumpUntil([&] { return ::time(nullptr) >= began + 5; }, 30000));
    // The limit's own cancel may come first in that second, as it does
    // when the scheduler was idle before: the words are the same.
    const TShellResult cancel = RunShellCommand(a.Runs("cancel " + std::to_string(job)) + " 2>&1");
    EXPECT_TRUE(cancel.Status == 0 || cancel.Output.find("already canceled") != std::string::npos)
        << cancel.Output;
    ASSERT_TRUE(lastSecond.waitForFinished(60000));
    EXPECT_EQ(lastSecond.exitCode(), 1);
    const std::string last = lastSecond.readAllStandardError().toStdString();
    EXPECT_NE(last.find("the fax printer's job was cancelled after 5 s; the fax printer ends jobs "
                        "at 5 s"),
              std::string::npos)
        << last;
    for (const char* never : {"ran past", "gave no pages", "could not render"})
        EXPECT_EQ(last.find(never), std::string::npos) << last;
}

// Over TCP the scheduler asks for a password where its local socket takes
// the kernel's word for who prints.
TEST(FaxPrinterOverTcp, APrintWithoutATerminalSaysThePasswordIsAskedAndTheSocketNeedsNone)
{
    NEEDS_FAX_PRINTER_TOOLS();
    FaxPrinterRig rig;
    ASSERT_TRUE(rig.Start(false, true));
    ASSERT_TRUE(rig.Install());
    const std::optional<TUser> a = TUser::Make("nobody", rig.Dir);
    if (!a)
        SKIP_WITHOUT_TOOL("the user nobody");
    const std::string pdf = rig.Pdf("doc", kTwoPages);
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        const std::string server = host + ":" + std::to_string(rig.Cups->Port());
        const TShellResult r =
            RunShellCommand("CUPS_SERVER=" + server + " " +
                            a->Runs(FaxCvt(pdf, a->Path("tcp.apf"))) + " </dev/null 2>&1");
        EXPECT_EQ(r.Status, 1);
        EXPECT_NE(r.Output.find("the print service (" + server +
                                ") asks for nobody's password over TCP, and none could be given "
                                "here; its local socket needs none (leave CUPS_SERVER unset, or "
                                "set it to the socket's path)"),
                  std::string::npos)
            << r.Output;
        EXPECT_FALSE(fs::exists(a->Path("tcp.apf")));
    }
    // On a terminal: each refused password is said at once, and the third
    // ends the print, as su and sudo do; an empty answer or the end of
    // input gives none; Ctrl+C ends the print as Ctrl+C, its job with it.
    const std::string server = "127.0.0.1:" + std::to_string(rig.Cups->Port());
    const std::string prompt = "Password for nobody on 127.0.0.1? ";
    const std::string refused = "The print service refused that password.";
    const std::string socket =
        "; its local socket needs none (leave CUPS_SERVER unset, or set it to the socket's path)";
    const auto typing = [&](std::vector<std::string> answers, int* status = nullptr) {
        return OnTerminal("CUPS_SERVER=" + server + " " +
                              a->RunsOnTerminal(FaxCvt(pdf, a->Path("tcp.apf"))) + " 2>&1",
                          std::move(answers), status);
    };
    const auto count = [](const std::string& text, const std::string& part) {
        std::size_t n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos;
             at = text.find(part, at + 1))
            ++n;
        return n;
    };
    std::string typed = typing({"not-the-password", "nor-this", "nor-that", "never-asked"});
    EXPECT_EQ(count(typed, prompt), 3u) << typed;
    EXPECT_EQ(count(typed, refused), 2u) << typed;
    EXPECT_LT(typed.find(refused), typed.find(prompt, typed.find(prompt) + 1)) << typed;
    EXPECT_NE(typed.find("the print service (" + server +
                         ") refused the 3 passwords given for nobody over TCP" + socket),
              std::string::npos)
        << typed;
    for (const char* password : {"not-the-password", "nor-th"})
        EXPECT_EQ(typed.find(password), std::string::npos) << typed;
    for (const std::string& none : {std::string(), std::string("\x04")}) {
        typed = typing({"not-the-password", none});
        EXPECT_EQ(count(typed, prompt), 2u) << typed;
        EXPECT_EQ(count(typed, refused), 1u) << typed;
        EXPECT_NE(typed.find("the print service (" + server +
                             ") asks for nobody's password over TCP, and none was given" + socket),
                  std::string::npos)
            << typed;
    }
    int status = 0;
    typed = typing({"\x03"}, &status);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status << typed;
    EXPECT_EQ(count(typed, prompt), 1u) << typed;
    EXPECT_NE(typed.find("User aborted fax conversion"), std::string::npos) << typed;
    for (const char* never : {"refused", "none was given", "could be given"})
        EXPECT_EQ(typed.find(never), std::string::npos) << typed;
    EXPECT_FALSE(fs::exists(a->Path("tcp.apf")));
    EXPECT_TRUE(rig.AllJobsEnded()) << rig.Waiting();
    const TShellResult r = RunShellCommand(a->Runs(FaxCvt(pdf, a->Path("socket.apf"))) + " 2>&1");
    EXPECT_EQ(r.Status, 0) << r.Output;
    EXPECT_EQ(Pages(a->Path("socket.apf")), 2);
    EXPECT_TRUE(rig.AllJobsEnded()) << rig.Waiting();
}

TEST_F(FaxPrinterUsers, AFaxFileFollowsItsMakersUmask)
{
    for (const char* umask : {"077", "027", "022"}) {
        SCOPED_TRACE(umask);
        const std::string out = A->Path(std::string("u") + umask + ".apf");
        const TShellResult r = RunShellCommand(
            A->Runs("sh -c 'umask " + std::string(umask) + " && " + FaxCvt(Doc, out) + "' 2>&1"));
        ASSERT_EQ(r.Status, 0) << r.Output;
        struct stat st;
        ASSERT_EQ(::stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~std::stoul(umask, nullptr, 8));
    }
}

TEST_F(FaxPrinterUsers, AStoppedPrinterSaysNoWordOfAnotherUsersJob)
{
    const auto printerSays = [] {
        std::istringstream lines(RunShell("lpstat -l -p APF_Fax_Printer"));
        std::string line;
        std::getline(lines, line);
        std::getline(lines, line);
        return line;
    };
    // B's document fails: the words stay B's job's, not the printer's.
    WriteFile(Rig.Dir.Path("slow8.ps"), "%!PS\n% no page\n");
    ::chmod(Rig.Dir.Path("slow8.ps").c_str(), 0644);
    RunShell(B->Runs("lp -d APF_Fax_Printer " + Rig.Dir.Path("slow8.ps")));
    ASSERT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    EXPECT_NE(RunShell("lpstat -W completed -l -o APF_Fax_Printer").find("slow8.ps gave no pages"),
              std::string::npos);
    EXPECT_EQ(printerSays().find("slow8"), std::string::npos) << printerSays();

    // A job that stops the queue leaves its words there; A is told the
    // queue is stopped, not what B's document did.
    ASSERT_EQ(Rig.Cups->Admin("-p APF_Fax_Printer -v words:"), 0);
    RunShell(B->Runs("lp -d APF_Fax_Printer " + Rig.Dir.Path("slow8.ps")));
    ASSERT_TRUE(PumpUntil([&] { return printerSays().find("slow8") != std::string::npos; }, 30000))
        << printerSays();
    const TShellResult r = RunShellCommand(A->Runs(FaxCvt(Doc, A->Path("a.apf"))) + " 2>&1");
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Output.find("the fax printer is stopped"), std::string::npos) << r.Output;
    EXPECT_EQ(r.Output.find("slow8"), std::string::npos) << r.Output;
    // The operator's own reason is still said.
    RunShell("cupsdisable -r 'out of paper' APF_Fax_Printer");
    TApdFaxConverter cvt;
    cvt.SetInputDocumentType(TFaxInputDocumentType::idShell);
    cvt.SetDocumentFile(Doc);
    EXPECT_EQ(FailureOf<EInOutError>(cvt), "the fax printer is stopped: out of paper");
}

// The process that runs `program` now, 0 when none does.
qint64 RunningProgram(const std::string& program)
{
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            fs::read_symlink(e.path() / "exe", ec) == program)
            return std::stoll(name);
    }
    return 0;
}

// A re-install stops the job that is running (SIGTERM), a queue changed
// under it by force (SIGKILL, which no handler sees): neither leaves a file
// in its user's folder.
TEST_F(FaxPrinterInstalled, AJobStoppedByAReinstallOrAChangedQueueLeavesNoFile)
{
    WriteFile(Rig.Dir.Path("endless.ps"), "%!PS\n{} loop\n");
    const std::string mine = Rig.Folder + "/users/root";
    const std::string backend = Rig.Cups->Root() + "/bin/backend/printfax";
    const auto writing = [&] {
        return PumpUntil([&] { return WritesInto(RunningProgram(backend), mine); }, 30000);
    };
    RunShell("lp -d APF_Fax_Printer " + Rig.Dir.Path("endless.ps"));
    ASSERT_TRUE(writing());
    ASSERT_TRUE(Rig.Install());
    EXPECT_EQ(SortedNames(mine), std::vector<std::string>{});
    // The job runs again.
    ASSERT_TRUE(writing());
    ASSERT_EQ(Rig.Cups->Admin("-p APF_Fax_Printer -o job-cancel-after-default=90"), 0);
    ASSERT_TRUE(PumpUntil([&] { return RunningProgram(backend) == 0 || writing(); }, 30000));
    EXPECT_EQ(SortedNames(mine), std::vector<std::string>{});
    RunShell("cancel -a APF_Fax_Printer");
    ASSERT_TRUE(Rig.AllJobsEnded()) << Rig.Waiting();
    EXPECT_EQ(SortedNames(mine), std::vector<std::string>{});
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
    EXPECT_EQ(SortedNames(Rig.Dir.Path("docs")), std::vector<std::string>{"letter.ps"});
    EXPECT_EQ(Requests(Rig.Folder), std::vector<std::string>{});
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
    EXPECT_EQ(Requests(Rig.Folder), std::vector<std::string>{});
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
    EXPECT_EQ(SortedNames(Rig.Dir.Path("docs")),
              (std::vector<std::string>{"broken.pdf", "empty.ps", "nothing.pdf", "words.pdf"}));
    EXPECT_EQ(Rig.Waiting(), "");
    EXPECT_EQ(Requests(Rig.Folder), std::vector<std::string>{});

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
    EXPECT_EQ(SortedNames(Rig.Dir.Dir()),
              (std::vector<std::string>{"cups", "doc.pdf", "doc.ps", "filler.ps", "printfax",
                                        "stall", "words"}));
    EXPECT_EQ(Requests(Rig.Folder), std::vector<std::string>{});
}

} // namespace
