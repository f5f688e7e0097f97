#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

// A Linux service manager stops the station with SIGTERM, a terminal with
// SIGINT, and a terminal that closes (a dropped ssh session) with SIGHUP,
// which the station takes as SIGTERM unless it was started with SIGHUP
// ignored (nohup). The handler only writes to a pipe; the GUI thread reads it
// and runs the orderly shutdown from its message loop.
class TSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit TSignalWatcher(std::function<void(int)> onSignal, QObject* parent = nullptr);
    ~TSignalWatcher() override;
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;

private:
    void PipeReadable();

    std::function<void(int)> OnSignal;
    std::unique_ptr<QSocketNotifier> Notifier;
    bool HangupIgnored = false;
};
