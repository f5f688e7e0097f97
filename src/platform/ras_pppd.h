#pragma once

#include "platform/ras.h"

#include <map>
#include <memory>
#include <mutex>

// Dial-up through pppd. The phone book is /etc/ppp/peers: each file there is
// an entry. A dial runs
//     pppd call <entry> nodetach nopersist logfd 1 file <options file>
// with the user name and password in an options file of mode 0600 inside a
// private directory, never on the command line, and removed when the dial
// ends. The connection is up when pppd's log (its standard output) reports
// the local IP address; it ends when that pppd ends, and hanging up sends it
// SIGTERM (SIGKILL if it has not gone a while later). pppd's exit status
// becomes the RAS code of a failed dial.
//
// pppd keeps its secrets in files only root reads, so an entry's stored
// parameters give the user name from the entry's "user" option and never a
// password; the phone book cannot be written from here.
class TPppdRas : public TRasBackend {
public:
    struct TSettings {
        std::string Program = "/usr/sbin/pppd";
        std::string PeersDir = "/etc/ppp/peers";
        // Where the private options directories go; "" = $TMPDIR or /tmp.
        std::string TempDir;
        uint32_t KillAfterMs = 8000;
    };

    TPppdRas();
    explicit TPppdRas(TSettings settings);
    // Ends every pppd this backend started.
    ~TPppdRas() override;

    // pppd's arguments for a dial (the program first).
    static std::vector<std::string> CommandLine(const std::string& program,
                                                const std::string& entry,
                                                const std::string& optionsFile);
    // The options file: "user" and "password" in pppd's quoting. Control
    // characters, which the file's syntax cannot carry, are left out.
    static std::string OptionsText(const std::string& user, const std::string& password);
    // The RAS code of a failed dial that pppd ended with this exit status.
    static int ExitCodeToRas(int exitStatus);
    // The state a line of pppd's log reaches (-1 for none); the local
    // address, when the line gives it, goes to ipAddress and the device to
    // device.
    static int StateOfLogLine(const std::string& line, std::string& ipAddress, std::string& device);

    bool Available() const override;
    int EnumEntries(const std::string& phonebook, std::vector<std::string>& names) override;
    int GetEntryDialParams(const std::string& phonebook, TRasDialParams& params,
                           bool& hasPassword) override;
    int SetEntryDialParams(const std::string& phonebook, const TRasDialParams& params,
                           bool removePassword) override;
    int CreateEntry(const std::string& phonebook) override;
    int EditEntry(const std::string& phonebook, const std::string& entry) override;
    int DeleteEntry(const std::string& phonebook, const std::string& entry) override;
    int Dial(const std::string& phonebook, const TRasDialParams& params,
             const std::function<void(int state)>& progress, HRASCONN& handle) override;
    int HangUp(HRASCONN handle) override;
    int GetConnectStatus(HRASCONN handle, TRasConnStatus& status) override;
    int EnumConnections(std::vector<TRasConnection>& connections) override;
    int GetIpAddress(HRASCONN handle, std::string& address) override;

private:
    struct TConn;
    bool EntryExists(const std::string& entry) const;
    // Joins and forgets the connections whose pppd has ended. Under FLock.
    // A connection's reader: follows pppd's log and reaps it; its last act
    // under the lock is marking the connection finished.
    void FollowLog(const std::shared_ptr<TConn>& conn);
    void Sweep();
    std::shared_ptr<TConn> Find(HRASCONN handle);

    TSettings FSettings;
    std::mutex FLock;
    std::map<HRASCONN, std::shared_ptr<TConn>> FConns;
    HRASCONN FNextHandle = 1;
};
