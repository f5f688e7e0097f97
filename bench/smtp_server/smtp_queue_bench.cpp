// Messages per second of the station's SMTP service, each message stored as
// the next numbered file of the queue, with an empty queue and with 10 000
// messages waiting, side by side: a station that held its mail through days
// of poor propagation must take new mail as fast as an idle one. The
// service's 50 ms hold-back before each command is off, so the figures are
// the cost of taking and storing a message.
#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/message_store.h"
#include "mail/smtp_frm.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "smtp_load.h"

namespace fs = std::filesystem;

namespace {

constexpr double kSecondsPerRun = 2.0;
constexpr int kRounds = 3;
constexpr int kWaiting = 10000;

// Empties the queue and puts `count` waiting messages into it.
void FillQueue(const std::string& queue, int count)
{
    for (const auto& entry : fs::directory_iterator(queue))
        fs::remove_all(entry.path());
    for (int i = 1; i <= count; ++i)
        WriteFileAtomic(queue + "/" + std::to_string(i) + ".msg",
                        "RCPT: bob@FAR\r\nSubject: waiting\r\n\r\nheld for the link\r\n");
}

// Messages per second that `clients` sessions get stored, or -1 on errors.
double Drive(int port, int clients)
{
    const TLoadRun r = DriveSessions(port, clients, kSecondsPerRun, "bob@FAR", 251);
    return r.Errors ? -1.0 : r.PerSecond();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    char root[] = "/tmp/skipmail-bench-queue.XXXXXX";
    if (!::mkdtemp(root)) {
        std::perror("mkdtemp");
        return 2;
    }
    DataRoot::Set(root);
    int status = 0;
    {
        TConfig config;
        config.Smtp.Port = 0;
        TSMTPFrm smtp(nullptr, nullptr, &config);
        smtp.BeforeCommandDelayMs = 0;
        smtp.SetServerActive(true);
        const int port = smtp.Server()->Bindings().Items(0).Port;
        const std::string queue = MessageStore::DirPath(DirName::Queue);

        std::printf("SMTP service into the queue, 4 KB messages, %.0f s per run, median of %d\n",
                    kSecondsPerRun, kRounds);
        std::printf("%8s %16s %20s %8s\n", "clients", "empty msg/s",
                    (std::to_string(kWaiting) + " waiting msg/s").c_str(), "ratio");
        for (int clients : {1, 10}) {
            std::vector<double> empty;
            std::vector<double> full;
            for (int r = 0; r < kRounds; ++r) {
                FillQueue(queue, 0);
                empty.push_back(Drive(port, clients));
                FillQueue(queue, kWaiting);
                full.push_back(Drive(port, clients));
            }
            const double a = Median(empty);
            const double b = Median(full);
            std::printf("%8d %16.0f %20.0f %8.2f\n", clients, a, b, a > 0 ? b / a : 0.0);
            std::fflush(stdout);
            if (a < 0 || b < 0)
                status = 1;
        }
        smtp.SetServerActive(false);
    }
    fs::remove_all(root);
    return status;
}
