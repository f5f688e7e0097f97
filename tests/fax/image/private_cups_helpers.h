#pragma once

#include "fax/fax_scratch_helpers.h"
#include "support/test_host.h"

#include <QProcess>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// An executable shell script in the folder.
std::string Script(const FaxTest::TScratch& dir, const std::string& name, const std::string& body);

// A CUPS scheduler of the test's own: its folders and socket under
// "cups" in the scratch folder, CUPS_SERVER naming it while it lives, with
// the settings and operation policies its package installs. It takes root:
// cupsd runs its filters as lp and root-owned backends as root.
class TPrivateCups {
public:
    struct TSetup {
        // Programs copied into a backend folder of the scheduler's own,
        // root's and closed to others, as cupsd wants a backend; the other
        // program folders stay the system's. Empty: the system's backends.
        std::vector<std::string> Backends;
        // Variables cupsd hands its filters and backends.
        std::vector<std::pair<std::string, std::string>> Env;
        // Only the stock "default" operation policy: the others' blocks are
        // left out of its configuration.
        bool DefaultPolicyOnly = false;
        // Listens on a TCP port of the loopback too (Port()).
        bool Tcp = false;
    };

    // True when one can run here: root, cupsd, lpadmin and the stock
    // configuration.
    static bool Possible();

    TPrivateCups(const FaxTest::TScratch& dir, TSetup setup);
    ~TPrivateCups();
    TPrivateCups(const TPrivateCups&) = delete;
    TPrivateCups& operator=(const TPrivateCups&) = delete;

    // Starts it and waits until it answers; false (a test failure with its
    // log) when it does not.
    bool Start();
    // lpadmin with these arguments; its exit code, a failure shows its words.
    int Admin(const std::string& args);
    std::string ErrorLog() const;
    const std::string& Root() const { return Root_; }
    // Its TCP port, with Tcp set.
    int Port() const { return Port_; }

private:
    std::string Root_;
    TSetup Setup_;
    int Port_ = 0;
    QProcess Cupsd_;
    std::optional<TEnvVar> Server_;
};
