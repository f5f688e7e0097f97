#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A fax modem that plays an AT script on a pseudo-terminal and checks, byte
// for byte, what the program under test writes to it. The scripts are
// written by hand from our reading of the modem command sets, not recorded
// from a modem. A script is a list of steps run in order: expect exact
// bytes, capture bytes up to a terminator, send bytes, pause. The first
// difference stops the script and is kept for the test to report.
// Undoes DLE doubling and drops the closing DLE pair of captured data.
std::string Unstuff(const std::string& raw);

class TScriptedModem {
public:
    TScriptedModem();
    ~TScriptedModem();
    TScriptedModem(const TScriptedModem&) = delete;
    TScriptedModem& operator=(const TScriptedModem&) = delete;

    const std::string& SlavePath() const { return FSlavePath; }

    TScriptedModem& Expect(const std::string& bytes);
    // The command and its CR.
    TScriptedModem& ExpectCommand(const std::string& command) { return Expect(command + "\r"); }
    // Takes everything up to and including the terminator into a slot.
    TScriptedModem& Capture(const std::string& terminator, int slot);
    // Takes DLE-stuffed data up to the first DLE not doubled and the byte
    // after it (DLE ETX, or a Class 2.0 page end), raw, into a slot.
    TScriptedModem& CaptureDleData(int slot);
    TScriptedModem& Send(const std::string& bytes);
    // A verbose result line: CR LF text CR LF.
    TScriptedModem& Result(const std::string& text) { return Send("\r\n" + text + "\r\n"); }
    // The command, then each result line.
    TScriptedModem& Answer(const std::string& command, const std::vector<std::string>& results);
    TScriptedModem& Pause(int ms);

    void Start();
    // Waits until the script has run out (or stopped at a difference).
    bool WaitDone(int timeoutMs);
    // What differed, empty when everything matched so far.
    std::string Errors();
    std::string Captured(int slot);
    // Bytes received after the script ran out.
    std::string Trailing();

private:
    struct TStep {
        enum Kind { Expect, Capture, DleData, Send, Pause } What;
        std::string Bytes;
        int Slot = 0;
        int Ms = 0;
    };
    void Run();
    bool ReadMore(int timeoutMs);

    std::vector<TStep> FSteps;
    std::mutex FLock;
    std::condition_variable FDoneCv;
    bool FDone = false;
    bool FStop = false;
    std::string FErrors;
    std::vector<std::string> FCaptured;
    std::string FInput; // received, not yet matched
    int FMaster = -1;
    int FSlaveKeep = -1;
    std::string FSlavePath;
    std::thread FThread;
};
