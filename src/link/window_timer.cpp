#include "link/window_timer.h"

TWindowTimer::TWindowTimer(int intervalMs, bool enabled) : FInterval(intervalMs), FEnabled(enabled)
{
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
        if (FEnabled && OnTimer)
            OnTimer();
    });
    Apply();
}

void TWindowTimer::SetEnabled(bool enabled)
{
    if (enabled == FEnabled)
        return;
    FEnabled = enabled;
    Apply();
}

void TWindowTimer::SetInterval(int intervalMs)
{
    if (intervalMs == FInterval)
        return;
    FInterval = intervalMs;
    Apply();
}

void TWindowTimer::Apply()
{
    if (FEnabled && FInterval > 0)
        FTimer.start(FInterval);
    else
        FTimer.stop();
}
