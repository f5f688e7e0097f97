#include "netlib/base/ip_base.h"
#include "netlib/base/ip_const.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class TLoggingComponent : public TIpBaseComponent {
public:
    static std::string GetLogString(uint32_t d1, uint32_t, uint32_t, uint32_t, std::string_view)
    {
        return "entry " + std::to_string(d1);
    }
    TIpLogStringClass LogStringClass() const override { return &TLoggingComponent::GetLogString; }
};

TEST(IpBase, VersionIsReadOnlyOnComponentsAndControls)
{
    TIpBaseComponent component;
    const std::string version = component.GetVersion();
    component.SetVersion("v9.99");
    EXPECT_EQ(component.GetVersion(), version);
    TIpBaseWinControl control;
    control.SetVersion("other");
    EXPECT_EQ(control.GetVersion(), IpShortVersion());
}

TEST(IpBase, LogStringDispatchesOnTheClassWithoutAnObject)
{
    TIpLogStringClass cls;
    {
        TLoggingComponent writer;
        const TIpBaseComponent& asBase = writer;
        cls = asBase.LogStringClass();
    }
    EXPECT_EQ(cls(7, 0, 0, 0, {}), "entry 7");
}

// The debug log writes this text for an entry of a class that has no text
// of its own: 26 characters, the line ending LF before CR.
TEST(IpBase, AClassWithoutItsOwnLogTextGivesTheUnhandledEntry)
{
    class TPlain : public TIpBaseComponent {};
    const std::string expected = std::string("!!!! Unhandled log entry") + "\n\r";
    ASSERT_EQ(expected.size(), 26u);
    TPlain plain;
    const TIpBaseComponent& asBase = plain;
    for (TIpLogStringClass cls : {asBase.LogStringClass(), &TIpBaseComponent::GetLogString})
        for (uint32_t d : {0u, 1u, 0xFFFFFFFFu})
            EXPECT_EQ(cls(d, 2, 3, 4, "data"), expected) << d;
}

TEST(IpBase, SafeFreeEmptiesTheVariableBeforeTheObjectGoes)
{
    struct TProbe {
        std::unique_ptr<TProbe>* Var = nullptr;
        bool* SawEmpty = nullptr;
        ~TProbe() { *SawEmpty = *Var == nullptr; }
    };
    bool sawEmpty = false;
    std::unique_ptr<TProbe> var = std::make_unique<TProbe>();
    var->Var = &var;
    var->SawEmpty = &sawEmpty;
    IpSafeFree(var);
    EXPECT_TRUE(sawEmpty);
    EXPECT_EQ(var, nullptr);
    IpSafeFree(var);
    EXPECT_EQ(var, nullptr);
}

TEST(IpBase, PropertyLockIsReentrantAndExcludesOtherThreads)
{
    TIpBasePersistent object;
    object.LockProperties();
    object.LockProperties();
    bool entered = false;
    std::thread other([&] {
        auto guard = object.PropertyGuard();
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered);
    object.UnlockProperties();
    object.UnlockProperties();
    other.join();
    EXPECT_TRUE(entered);
}

// A translated table names its records; a replaced text serves every user
// of the name.
TEST(IpConstTexts, RecordsAreFoundByNameAndReplacedTextsServeEveryUser)
{
    for (int i = 0; i < IpConst::Count; ++i) {
        const auto id = static_cast<IpConst::TIpStr>(i);
        EXPECT_EQ(IpStrByName(IpStrName(id)), id) << IpStrName(id);
    }
    EXPECT_EQ(IpStrByName("nothing"), IpConst::Count);

    const std::string original = IpStr(IpConst::SSocksErr);
    const std::string before = IpFormat(IpConst::SSocksErr, {91});
    IpReplaceStr(IpConst::SSocksErr, "SOCKS refuse (%d)");
    EXPECT_EQ(IpFormat(IpConst::SSocksErr, {91}), "SOCKS refuse (91)");
    IpReplaceStr(IpConst::SSocksErr, original);
    EXPECT_EQ(IpFormat(IpConst::SSocksErr, {91}), before);
}

TEST(IpConstTexts, FormatNeverReadsPastItsArguments)
{
    EXPECT_EQ(IpFormat("%s=%d%%", {"a", 5}), "a=5%");
    EXPECT_EQ(IpFormat("%s and %s", {"one"}), "one and ");
    EXPECT_EQ(IpFormat("%s", {42}), "42");
    EXPECT_EQ(IpFormat("%x %", {1}), "%x %");
    EXPECT_EQ(IpFormat("v%.2f", {1.5}), "v1.50");
}

} // namespace
