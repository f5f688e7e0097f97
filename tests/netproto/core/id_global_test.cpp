#include "netproto/core/id_global.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

// Callers tell a quiet end from a failure, and a SOCKS failure from any
// other, by the class they catch.
TEST(IdExceptions, CallersCatchByTheirBaseClass)
{
    EXPECT_THROW(throw EIdConnClosedGracefully(), EIdSilentException);
    EXPECT_THROW(throw EIdSocksServerTTLExpiredError(), EIdSocksError);
    EXPECT_THROW(throw EIdSocksError(), EIdException);
}

TEST(IdGetTickCount, ElapsedAcrossTheWrap)
{
    Clock::SetTickOrigin(0xFFFFFFF0u);
    uint32_t start = IdGetTickCount();
    IdSleep(40);
    uint32_t now = IdGetTickCount();
    Clock::ResetTickOrigin();
    EXPECT_LT(now, start);
    EXPECT_GE(static_cast<uint32_t>(now - start), 40u);
    EXPECT_LT(static_cast<uint32_t>(now - start), 5000u);
}

TEST(IdThreads, MainThreadAndCurrentThread)
{
    EXPECT_TRUE(InMainThread());
    bool inMain = true, current = false;
    TThread t([&](TThread& self) {
        inMain = InMainThread();
        current = IsCurrentThread(self);
    });
    t.Resume();
    ASSERT_TRUE(t.WaitFor(5000));
    EXPECT_FALSE(inMain);
    EXPECT_TRUE(current);
    EXPECT_FALSE(IsCurrentThread(t));
}

} // namespace
