#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/link_session.h"
#include "link/modem_frame.h"
#include "link/transfer_store.h"
#include "support/sky_sim.h"

// Two stations' link sessions joined by the simulated sky, in one process,
// on a clock of the test's own: each end has its own data root, and the
// glue a station puts between its modem and its session (modem framing,
// link reports, the echo). End 0 ("HOME", ID 0001) calls end 1 ("FIELD",
// ID 0002).
class TAirPair {
public:
    struct TEnd {
        std::string Name;
        std::string Root;
        std::unique_ptr<Transfer::TStore> Store;
        std::unique_ptr<TLinkSession> Session;
        ModemFrame::TParser Parser;
        std::string Pending; // link data not yet handed to the session
        void Flush();
        std::vector<std::string> Log;
        std::vector<std::string> Chat;
        std::vector<int> Rings;
        std::vector<std::string> Reports; // link report codes, as "up", "down", ...
        // What the session wrote, each with the sky's count of bytes
        // carried before it.
        std::vector<std::pair<uint64_t, std::string>> Sent;
        bool Linked = false;
        bool SendMail = true;
        // The peer's name given to Start; empty lets the announce tell.
        std::string KnownPeer;
        bool Logged(const std::string& part) const;
    };

    // A template for QTemporaryDir: on memory where the machine has it, as
    // the tests make and remove thousands of small files.
    static QString TempTemplate();

    // `baseDir` holds both data roots (HOME and FIELD below it).
    TAirPair(const std::string& baseDir, TSkyCore::TOptions options = {});
    ~TAirPair();

    TEnd& End(int i) { return *FEnds[i]; }
    TSkyCore& Sky() { return FSky; }
    uint64_t NowMs() const { return FNowMs; }

    // Home calls Field; runs until the link is up on both ends (or fails).
    bool Link();
    // Runs the sky until `done` holds, nothing is left to happen, or
    // `limitMs` of sky time have passed; false unless `done` held.
    bool RunUntil(const std::function<bool()>& done, uint64_t limitMs = 3600000);
    // Runs until both ends have nothing more for each other, then ends the
    // link from Home and runs until it is down.
    bool Exchange(uint64_t limitMs = 3600000);
    // Ends the link from end `i` and runs until both see it down.
    void Disconnect(int i);
    // End `i` starts again: a new session on a new store, knowing nothing of
    // the link its modem may still hold, configures its modem.
    void Restart(int i);

    // Writes `content` as a message file for the other end's station.
    static void PutMail(TEnd& end, const std::string& peer, const std::string& name,
                        const std::string& content);
    // The contents of the regular files of a directory under a data root,
    // in name order.
    static std::vector<std::string> Contents(const std::string& root, const std::string& dir);

private:
    void MakeSession(int i);
    void Step();
    void Command(int i, uint8_t command, std::initializer_list<uint8_t> args);

    TSkyCore FSky;
    uint64_t FNowMs = 0;
    std::vector<std::unique_ptr<TEnd>> FEnds;
};
