#pragma once

#include "fax/fax_components.h"
#include "support/test_host.h"

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class TApdComPort;

// A scripted fax engine for the components and the server: registered as
// the run's trigger handler in place of the state machines, it runs in the
// port's dispatch thread and talks to the components only through the
// engine's notifications, as the real machines do.
namespace FakeFax {

struct TSent {
    std::string Number;
    std::string FaxFile;
    std::string FaxBytes; // the file's bytes when the engine took it
    std::string CoverFile;
};

struct TScript {
    // Results of the send runs, in order; 0 once they run out.
    std::deque<int> SendResults;
    // The next waiting receive run answers a call from CallerID, stores
    // ReceivedBytes under the name the components give and ends with
    // ReceiveResult.
    std::atomic<bool> Ring{false};
    std::string CallerID = "FAR END";
    std::string ReceivedBytes;
    int ReceiveResult = 0;

    // Seen by the engine.
    std::vector<TSent> Sent;
    std::vector<bool> SecondNextAnswers; // afNextFax after a good send
    std::vector<std::string> Received;
    std::atomic<int> SendRuns{0};
    std::atomic<int> ReceiveRuns{0};
    std::mutex Lock; // guards the vectors and results
};

// The one script (the engine is a plain function); cleared by Reset.
TScript& Script();
void Reset();

TFaxEngineProcs SendEngine();
TFaxEngineProcs ReceiveEngine();

// A pseudo-terminal standing in for a modem that never answers, and a
// port on it as "COM<number>".
class TPtyPort {
public:
    explicit TPtyPort(unsigned comNumber);
    ~TPtyPort();
    const std::string& Path() const { return Path_; }

private:
    int Master_ = -1;
    int Slave_ = -1;
    std::string Path_;
};

} // namespace FakeFax
