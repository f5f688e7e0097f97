#pragma once

#include "support/test_host.h"

#include <cstdint>
#include <functional>
#include <string>

// A pseudo-terminal pair standing in for a serial line: the port opens the
// slave side through SKIPMAIL_COMn, the test plays the far end on the master.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Makes "COMn" resolve to the slave side.
    void Bind(unsigned comNumber) const;
    const std::string& SlavePath() const { return SlavePath_; }
    int Master() const { return Master_; }

    void Write(const std::string& bytes) const;
    // Reads from the master until n bytes came or the time is up.
    std::string Read(std::size_t n, int timeoutMs) const;
    void CloseMaster();

private:
    int Master_ = -1;
    int Slave_ = -1;
    std::string SlavePath_;
};

// Descriptors this process has open.
int CountOpenFds();
