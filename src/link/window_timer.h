#pragma once

#include <QTimer>

#include <functional>

// A window timer as the forms use it: an interval and an enabled switch
// that can be flipped at any time, and one handler. Changing the interval of
// a running timer starts its period again. Handlers may be called directly.
class TWindowTimer {
public:
    TWindowTimer(int intervalMs, bool enabled);

    TWindowTimer(const TWindowTimer&) = delete;
    TWindowTimer& operator=(const TWindowTimer&) = delete;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool enabled);
    int Interval() const { return FInterval; }
    void SetInterval(int intervalMs);

    std::function<void()> OnTimer;

private:
    void Apply();
    QTimer FTimer;
    int FInterval;
    bool FEnabled;
};
