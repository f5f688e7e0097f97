#include "platform/gui_message.h"
#include "serial/ad_except.h"
#include "serial/ad_misc.h"
#include "serial/ad_port.h"
#include "serial/pty_helpers.h"

#include <QCoreApplication>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Fired {
    uint32_t Msg;
    uint32_t WParam;
    int32_t LParam;
    Clock::time_point At;
    bool OnGui;
};

std::mutex gLock;
std::vector<Fired> gFired;

void Record(uint32_t msg, uint32_t wParam, int32_t lParam)
{
    std::lock_guard guard(gLock);
    gFired.push_back({msg, wParam, lParam, Clock::now(), IsGuiThread()});
}

std::vector<Fired> Take()
{
    std::lock_guard guard(gLock);
    return std::exchange(gFired, {});
}

// Waits until at least `n` notifications came (a busy machine delays the
// dispatch thread), then a little more so that one too many shows as well.
bool WaitFired(std::size_t n)
{
    const auto deadline = Clock::now() + 20s;
    for (;;) {
        {
            std::lock_guard guard(gLock);
            if (gFired.size() >= n)
                break;
        }
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(150ms);
    return true;
}

std::size_t CountOf(uint32_t msg)
{
    std::lock_guard guard(gLock);
    return std::count_if(gFired.begin(), gFired.end(),
                         [&](const Fired& f) { return f.Msg == msg; });
}

struct TriggerPort {
    PtyPair Pty;
    TApdComPort Port;
    TApdBaseDispatcher* D = nullptr;

    explicit TriggerPort(unsigned com = 51)
    {
        Take();
        Pty.Bind(com);
        Port.SetComNumber(com);
        Port.SetAutoOpen(false);
        Port.SetOpen(true);
        D = Port.GetDispatcher();
        D->RegisterProcTriggerHandler(&Record);
    }
};

} // namespace

TEST(SerialTriggers, TimerTriggersFireOnceEachInTheOrderTheyRunOut)
{
    TriggerPort f;
    const int a = f.D->AddTimerTrigger();
    const int b = f.D->AddTimerTrigger();
    const int c = f.D->AddTimerTrigger();
    ASSERT_GT(a, 0);
    ASSERT_NE(a, b);
    // Armed in reverse order of expiry.
    const auto start = Clock::now();
    EXPECT_EQ(f.D->SetTimerTrigger(c, 6, true), 0);
    EXPECT_EQ(f.D->SetTimerTrigger(b, 4, true), 0);
    EXPECT_EQ(f.D->SetTimerTrigger(a, 2, true), 0);
    ASSERT_TRUE(WaitFired(3));
    const auto fired = Take();
    ASSERT_EQ(fired.size(), 3u);
    const int order[] = {a, b, c};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(fired[i].Msg, apw_TriggerTimer);
        EXPECT_EQ(static_cast<int>(fired[i].WParam), order[i]);
        EXPECT_EQ(fired[i].LParam >> 16, f.D->Handle());
        EXPECT_FALSE(fired[i].OnGui);
    }
    EXPECT_GE(fired[0].At - start, 100ms); // 2 ticks of 55 ms
    EXPECT_GE(fired[2].At - start, 320ms);

    // Disarmed triggers stay quiet; re-arming with 0 ticks keeps the old count.
    EXPECT_EQ(f.D->SetTimerTrigger(a, 1, true), 0);
    EXPECT_EQ(f.D->SetTimerTrigger(a, 0, false), 0);
    EXPECT_EQ(f.D->SetTimerTrigger(b, 0, true), 0);
    // b runs 4 ticks again; a, had it stayed armed, would have come first.
    ASSERT_TRUE(WaitFired(1));
    const auto again = Take();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(static_cast<int>(again[0].WParam), b);
    EXPECT_EQ(f.D->SetTimerTrigger(9999, 1, true), AdErr::ecBadTriggerHandle);
}

TEST(SerialTriggers, StatusTriggersOnOutputLevels)
{
    TriggerPort f;
    const int used = f.D->AddStatusTrigger(stOutBuffUsed);
    const int free = f.D->AddStatusTrigger(stOutBuffFree);
    ASSERT_GT(used, 0);
    EXPECT_EQ(f.D->AddStatusTrigger(99), AdErr::ecBadArgument);
    f.D->PutString(std::string(3000, 'x'));
    EXPECT_EQ(f.D->SetStatusTrigger(used, 0, true), 0);
    EXPECT_EQ(f.D->SetStatusTrigger(free, 4096, true), 0);
    EXPECT_EQ(f.Pty.Read(3000, 10000).size(), 3000u);
    ASSERT_TRUE(WaitFired(2));
    auto fired = Take();
    ASSERT_EQ(fired.size(), 2u);
    for (const auto& x : fired)
        EXPECT_EQ(x.Msg, apw_TriggerStatus);
    EXPECT_EQ(static_cast<int>(fired[0].WParam) + static_cast<int>(fired[1].WParam), used + free);
    // Once fired they are spent until armed again.
    f.D->PutChar('y');
    EXPECT_EQ(f.Pty.Read(1, 1000), "y");
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(Take().empty());
}

TEST(SerialTriggers, LengthTriggerAndDataEventReachTheGuiOnce)
{
    TriggerPort f;
    std::string got;
    int events = 0;
    f.Port.OnTriggerAvail = [&](TApdCustomComPort& p, uint32_t count) {
        ++events;
        EXPECT_TRUE(IsGuiThread());
        got.resize(count);
        EXPECT_EQ(p.GetBlock(got.data(), count), count);
    };
    EXPECT_EQ(f.D->ChangeLengthTrigger(5), 0);
    f.Pty.Write("abc");
    std::this_thread::sleep_for(150ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(CountOf(apw_TriggerAvail), 0u);
    EXPECT_EQ(events, 0);
    f.Pty.Write("de");
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }, 10000));
    EXPECT_EQ(got, "abcde");
    const auto fired = Take();
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].Msg, apw_TriggerAvail);
    EXPECT_EQ(fired[0].WParam, 5u);
    PumpUntil([] { return false; }, 150);
    EXPECT_EQ(events, 1);
}

// A handler waiting for nothing in particular (no timer armed, no data to
// come) learns at once, and once, that the device went away.
TEST(SerialTriggers, AVanishedDeviceIsNotedToTheHandlersOnce)
{
    TriggerPort f;
    f.Pty.CloseMaster();
    ASSERT_TRUE(WaitFired(1));
    const auto fired = Take();
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].Msg, apw_TriggerDeviceLost);
    EXPECT_EQ(f.D->DeviceError(), AdErr::ecHardware);
    // Later wake-ups of the dispatch thread tell it no more.
    const int t = f.D->AddTimerTrigger();
    f.D->SetTimerTrigger(t, 1, true);
    ASSERT_TRUE(WaitFired(1));
    EXPECT_EQ(CountOf(apw_TriggerDeviceLost), 0u);
}

TEST(SerialTriggers, EventBusyHoldsNotificationsBack)
{
    TriggerPort f;
    bool old = true;
    f.D->SetEventBusy(old, true);
    EXPECT_FALSE(old);
    const int t = f.D->AddTimerTrigger();
    f.D->SetTimerTrigger(t, 1, true);
    f.Pty.Write("zz");
    // A poller takes the bytes itself meanwhile.
    ASSERT_TRUE(PumpUntil(
        [&] {
            f.D->ProcessCommunications();
            return f.D->InBuffUsed() == 2;
        },
        10000));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(Take().empty());
    f.D->SetEventBusy(old, false);
    EXPECT_TRUE(old);
    ASSERT_TRUE(WaitFired(2));
    const auto fired = Take();
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].Msg, apw_TriggerAvail);
    EXPECT_EQ(fired[1].Msg, apw_TriggerTimer);
}

TEST(SerialTriggers, SlotsHandlersDataPointersAndRemoval)
{
    TriggerPort f;
    std::vector<int> handles;
    for (int i = 0; i < TApdBaseDispatcher::kMaxTriggers; ++i)
        handles.push_back(f.D->AddTimerTrigger());
    EXPECT_EQ(f.D->AddTimerTrigger(), AdErr::ecNoMoreTriggers);
    EXPECT_EQ(f.D->AddStatusTrigger(stOutBuffUsed), AdErr::ecNoMoreTriggers);
    EXPECT_EQ(f.D->RemoveTrigger(handles[3]), 0);
    EXPECT_EQ(f.D->RemoveTrigger(handles[3]), AdErr::ecBadTriggerHandle);
    EXPECT_GT(f.D->AddTimerTrigger(), 0);
    f.D->ChangeLengthTrigger(7);
    EXPECT_EQ(f.D->RemoveAllTriggers(), 0);
    EXPECT_GT(f.D->AddTimerTrigger(), 0);
    EXPECT_EQ(f.D->ExportTriggers().LengthTrigger, 1u);

    // Handlers: deregistered ones are not called.
    f.D->DeregisterProcTriggerHandler(&Record);
    const int t = f.D->AddTimerTrigger();
    f.D->SetTimerTrigger(t, 1, true);
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(Take().empty());

    int value = 0;
    f.D->SetDataPointer(&value, 2);
    EXPECT_EQ(f.D->GetDataPointer(2), &value);
    EXPECT_EQ(f.D->GetDataPointer(1), nullptr);
    EXPECT_EQ(f.D->GetDataPointer(4), nullptr);
    EXPECT_EQ(TApdBaseDispatcher::PortListEntry(f.D->Handle()), f.D);
}

TEST(SerialTriggers, ReopenOnAnotherNumberKeepsTriggers)
{
    TriggerPort f(52);
    PtyPair other;
    other.Bind(53);
    const int t = f.D->AddTimerTrigger();
    f.D->ChangeLengthTrigger(3);
    std::string got;
    f.Port.OnTriggerAvail = [&](TApdCustomComPort& p, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i)
            got += p.GetChar();
    };
    f.Port.SetComNumber(53);
    ASSERT_TRUE(f.Port.Open());
    TApdBaseDispatcher* d = f.Port.GetDispatcher();
    EXPECT_EQ(d->ExportTriggers().LengthTrigger, 3u);
    EXPECT_EQ(d->SetTimerTrigger(t, 1, true), 0);
    other.Write("xyz");
    ASSERT_TRUE(PumpUntil([&] { return got == "xyz"; }, 10000));
    ASSERT_TRUE(WaitFired(2));
    const auto fired = Take();
    ASSERT_EQ(fired.size(), 2u); // the handler came along too
    f.Port.PutString("on 53");
    EXPECT_EQ(other.Read(5, 2000), "on 53");
}

TEST(SerialTriggers, DataEventWaitsAtMost3000msForABlockedGuiThread)
{
    TriggerPort f;
    std::string got;
    f.Port.OnTriggerAvail = [&](TApdCustomComPort& p, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i)
            got += p.GetChar();
    };
    std::thread far([&] {
        f.Pty.Write("A");
        std::this_thread::sleep_for(1000ms);
        f.Pty.Write("B");
    });
    // The GUI thread is busy for 7.5 s: the dispatch thread hands "A" over,
    // gives up after 3000 ms, and only then sees "B". A dispatch thread that
    // waited for the GUI would see it only after 7.5 s; the bound between
    // leaves a busy machine seconds of slack.
    std::this_thread::sleep_for(7500ms);
    far.join();
    ASSERT_TRUE(PumpUntil([&] { return got == "AB"; }, 3000));
    const auto fired = Take();
    ASSERT_EQ(fired.size(), 2u);
    const auto gap = fired[1].At - fired[0].At;
    EXPECT_GE(gap, 2900ms);
    EXPECT_LE(gap, 6000ms);
}

namespace {
void Throwing(uint32_t, uint32_t, int32_t)
{
    throw std::runtime_error("handler failed");
}
} // namespace

TEST(SerialTriggers, AFailingHandlerDoesNotStopLaterTriggers)
{
    TriggerPort f;
    f.D->DeregisterProcTriggerHandler(&Record);
    f.D->RegisterProcTriggerHandler(&Throwing);
    f.D->RegisterProcTriggerHandler(&Record);
    const int t = f.D->AddTimerTrigger();
    f.D->SetTimerTrigger(t, 1, true);
    ASSERT_TRUE(WaitFired(1));
    f.D->SetTimerTrigger(t, 1, true);
    ASSERT_TRUE(WaitFired(2));
    EXPECT_EQ(Take().size(), 2u);
}
