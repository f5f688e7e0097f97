#include "private_cups_helpers.h"

#include "support/shell_command.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

std::string Script(const FaxTest::TScratch& dir, const std::string& name, const std::string& body)
{
    const std::string path = dir.Path(name);
    FaxTest::WriteFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

namespace {

// What the scheduler's package installs as its configuration.
constexpr char kStockConf[] = "/usr/share/cups/cupsd.conf.default";

} // namespace

bool TPrivateCups::Possible()
{
    return ::geteuid() == 0 && HaveProgram("cupsd") && HaveProgram("lpadmin") &&
           std::filesystem::exists(kStockConf);
}

TPrivateCups::TPrivateCups(const FaxTest::TScratch& dir, TSetup setup)
    : Root_(dir.Path("cups")), Setup_(std::move(setup))
{
    // Filters run as lp: they must reach the folder and write their
    // temporary files.
    for (const char* sub : {"conf", "spool", "tmp", "cache", "state", "log"})
        std::filesystem::create_directories(Root_ + "/" + sub);
    ::chmod(dir.Dir().c_str(), 0711);
    ::chmod(Root_.c_str(), 0711);
    ::chmod((Root_ + "/tmp").c_str(), 01777);
}

TPrivateCups::~TPrivateCups()
{
    Server_.reset();
    if (Cupsd_.state() != QProcess::NotRunning) {
        Cupsd_.terminate();
        if (!Cupsd_.waitForFinished(20000))
            Cupsd_.kill();
    }
}

bool TPrivateCups::Start()
{
    std::string files = "ServerRoot " + Root_ + "/conf\nRequestRoot " + Root_ + "/spool\nTempDir " +
                        Root_ + "/tmp\nCacheDir " + Root_ + "/cache\nStateDir " + Root_ +
                        "/state\nErrorLog " + Root_ + "/log/error_log\nAccessLog " + Root_ +
                        "/log/access_log\nPageLog " + Root_ + "/log/page_log\nPrintcap " + Root_ +
                        "/printcap\nSystemGroup root\n";
    if (!Setup_.Backends.empty()) {
        // cupsd runs a backend that root owns and no one else may change.
        const std::string bin = Root_ + "/bin";
        std::filesystem::create_directories(bin + "/backend");
        for (const auto& e : std::filesystem::directory_iterator("/usr/lib/cups"))
            if (e.path().filename() != "backend")
                std::filesystem::create_directory_symlink(e.path(), std::filesystem::path(bin) /
                                                                        e.path().filename());
        for (const std::string& program : Setup_.Backends) {
            const std::string to =
                bin + "/backend/" + std::filesystem::path(program).filename().string();
            std::filesystem::copy_file(program, to,
                                       std::filesystem::copy_options::overwrite_existing);
            ::chmod(to.c_str(), 0700);
        }
        files += "ServerBin " + bin + "\n";
    }
    for (const auto& [name, value] : Setup_.Env)
        files += "SetEnv " + name + " " + value + "\n";
    FaxTest::WriteFile(Root_ + "/conf/cups-files.conf", files);
    const std::string socket = Root_ + "/cups.sock";
    // The scheduler's stock settings, its operation policies among them, on
    // a socket of its own.
    std::string conf = "Listen " + socket + "\nBrowsing No\nWebInterface No\nLogLevel info\n";
    if (Setup_.Tcp) {
        Port_ = FreePort();
        conf += "Listen 127.0.0.1:" + std::to_string(Port_) + "\n";
    }
    std::istringstream stock(FaxTest::ReadFile(kStockConf));
    bool dropped = false;
    for (std::string line; std::getline(stock, line);) {
        std::istringstream words(line);
        std::string word, name;
        words >> word >> name;
        if (word == "<Policy" && name != "default>" && Setup_.DefaultPolicyOnly)
            dropped = true;
        const bool kept = !dropped;
        if (word == "</Policy>")
            dropped = false;
        if (kept && word != "Listen" && word != "Port" && word != "Browsing" &&
            word != "BrowseLocalProtocols" && word != "WebInterface" && word != "LogLevel" &&
            word != "IdleExitTimeout")
            conf += line + "\n";
    }
    FaxTest::WriteFile(Root_ + "/cupsd.conf", conf);
    Cupsd_.start("cupsd", {"-f", "-c", QString::fromStdString(Root_ + "/cupsd.conf"), "-s",
                           QString::fromStdString(Root_ + "/conf/cups-files.conf")});
    if (!Cupsd_.waitForStarted(10000)) {
        ADD_FAILURE() << "cupsd cannot be started";
        return false;
    }
    Server_.emplace("CUPS_SERVER", socket);
    const bool up = PumpUntil(
        [&] {
            return Cupsd_.state() == QProcess::Running &&
                   RunShellCommand("lpstat -r").Output.find("scheduler is running") !=
                       std::string::npos;
        },
        20000);
    if (!up) {
        ADD_FAILURE() << "cupsd did not start: " << Cupsd_.readAll().toStdString() << ErrorLog();
        Server_.reset();
    }
    return up;
}

int TPrivateCups::Admin(const std::string& args)
{
    const TShellResult r = RunShellCommand("lpadmin " + args + " 2>&1");
    // Its note that PPD files are on their way out is no failure.
    EXPECT_EQ(r.Status, 0) << "lpadmin " << args << ": " << r.Output;
    return r.Status;
}

std::string TPrivateCups::ErrorLog() const
{
    return FaxTest::ReadFile(Root_ + "/log/error_log");
}
