#pragma once

#include "platform/ras.h"

#include <map>
#include <memory>
#include <mutex>

// Dial-up through pppd, on pppd's own files: the directory is /etc/ppp, or
// the one SKIPMAIL_PPP_DIR names.
//
// A dial runs
//     pppd call <entry> nodetach nopersist logfd 1 file <options file>
// (with another directory, "file <dir>/peers/<entry>" in place of the call)
// with the user name and password in an options file of mode 0600 inside a
// private directory, never on the command line, and removed when the dial
// ends. The connection is up when pppd's log (its standard output) reports
// the local IP address; it ends when that pppd ends, and hanging up sends it
// SIGTERM (SIGKILL if it has not gone a while later). pppd's exit status
// becomes the RAS code of a failed dial, and its last lines (up to three)
// the dial's words.
//
// The phone book:
// - An entry is a file in peers/, named in UTF-8 as the file system's names
//   are (the station's Windows-1252 name converted), so that the shell shows
//   it and "pppd call" takes it as typed. A file whose name is no UTF-8 is
//   the entry of those very bytes, as such names were once written; a file
//   whose name Windows-1252 cannot hold is no entry.
// - Its options are kept as written, with these lines read and written as
//   fields: "user" (the user name), "remotename" (the name its secrets are
//   kept under), "domain", a "connect" line of this backend's own form that
//   dials the phone number through chat, and a comment "# callback number: "
//   that keeps the callback number (pppd has no option for it).
// - RAS dials with the domain it is given; here a dial takes the entry's
//   stored domain, since pppd takes "domain" only from a privileged file,
//   which the dial's own options file is not.
// - The password is a line "user remotename password" in pap-secrets and in
//   chap-secrets. Storing one gives the entry "remotename <entry>" when it
//   has none, so entries that share a user name keep their own passwords.
//   Reading one takes the entry's line, else the user's line for any server
//   ("*") when the entry has no remotename. An empty password stores none.
// - Files are replaced whole; the secrets files are made 0600 before they
//   are written, new peers files are 0644 (they hold no password).
// - A value that pppd's syntax cannot carry as written (a control
//   character, a password starting with "@", which pppd takes for a file
//   name) is refused with ERROR_INVALID_PARAMETER, and nothing is written.
// - An entry name is a plain file name: not empty, no "/", no control
//   characters, not starting with ".", not the wildcard "*", and short
//   enough for the whole-file write's temporary name beside it. Others are
//   refused (ERROR_INVALID_NAME) or not found.
// - A phone number holds only what a modem dials (digits, blanks and
//   "*#+,-()!@.ABCDPTWabcdptw"): it goes into chat's shell command.
// - Nothing locks the files against another program editing them at the
//   same time; this backend's own edits go one at a time.
class TPppdRas : public TRasBackend {
public:
    struct TSettings {
        std::string Program = "/usr/sbin/pppd";
        std::string PppDir = "/etc/ppp";
        // Where the private options directories go; "" = $TMPDIR or /tmp.
        std::string TempDir;
        // Where the kernel counts a link's bytes (<dir>/<interface>/statistics).
        std::string NetDir = "/sys/class/net";
        uint32_t KillAfterMs = 8000;
    };
    // The settings with the directory SKIPMAIL_PPP_DIR names, if any.
    static TSettings DefaultSettings();

    TPppdRas();
    explicit TPppdRas(TSettings settings);
    // Ends every pppd this backend started.
    ~TPppdRas() override;

    // pppd's arguments for a dial (the program first) of the entry whose
    // file in peers/ is peerFile.
    static std::vector<std::string> CommandLine(const std::string& program,
                                                const std::string& pppDir,
                                                const std::string& peerFile,
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
    int GetEntryProperties(const std::string& phonebook, const std::string& entry,
                           TRasEntry& properties) override;
    int SetEntryProperties(const std::string& phonebook, const std::string& entry,
                           const TRasEntry& properties) override;
    int RenameEntry(const std::string& phonebook, const std::string& from,
                    const std::string& to) override;
    int ValidateEntryName(const std::string& phonebook, const std::string& name) override;
    int DeleteEntry(const std::string& phonebook, const std::string& entry) override;
    int CheckEntryValues(const TRasEntry& properties, const TRasDialParams& params,
                         TRasRefusal& refusal) override;
    int Dial(const std::string& phonebook, const TRasDialParams& params,
             const std::function<void(int state)>& progress, HRASCONN& handle,
             std::string& words) override;
    int HangUp(HRASCONN handle) override;
    int GetConnectStatus(HRASCONN handle, TRasConnStatus& status) override;
    int EnumConnections(std::vector<TRasConnection>& connections) override;
    int GetIpAddress(HRASCONN handle, std::string& address) override;

private:
    struct TConn;
    bool EntryExists(const std::string& entry) const;
    std::string PeersDir() const;
    std::string PeerFile(const std::string& entry) const;
    // pap-secrets and chap-secrets.
    std::vector<std::string> SecretsFiles() const;
    // A connection's reader: follows pppd's log and reaps it; its last act
    // under the lock is marking the connection finished.
    void FollowLog(TConn& conn);
    // Keeps a line of pppd's output as its last words.
    void KeepWords(TConn& conn, const std::string& line);
    // Joins and forgets the connections whose pppd has ended. Under FLock.
    void Sweep();
    std::shared_ptr<TConn> Find(HRASCONN handle);

    TSettings FSettings;
    // Phone-book edits, one at a time.
    std::mutex FBookLock;
    std::mutex FLock;
    std::map<HRASCONN, std::shared_ptr<TConn>> FConns;
    HRASCONN FNextHandle = 1;
};
