#include "netproto/core/id_global.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

TEST(IdExceptions, TreeAndTexts)
{
    try {
        throw EIdConnClosedGracefully();
    } catch (const EIdSilentException& e) {
        EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
    }
    EXPECT_STREQ(EIdReadTimeout().what(), "Read Timeout");
    EXPECT_STREQ(EIdAlreadyConnected().what(), "Already connected.");
    EXPECT_STREQ(EIdReadLnMaxLineLengthExceeded().what(), "Max line length exceeded.");
    EXPECT_STREQ(EIdConnectTimeout().what(), "Connect timed out.");
    EXPECT_STREQ(EIdFailedToRetreiveTimeZoneInfo().what(),
                 "Failed attempting to retrieve time zone information.");
    EXPECT_STREQ(EIdInvalidServiceName::ForService("smtpx").what(),
                 "smtpx is not a valid service.");
    EIdSocketError se(10054, "reset");
    EXPECT_EQ(se.LastError(), 10054);
    EIdProtocolReplyError pe(550, "no such user");
    EXPECT_EQ(pe.ReplyErrorCode(), 550);
    EXPECT_EQ(pe.Message(), "no such user");
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
