#include "netlib/base/ip_const.h"
#include "netlib/base/ip_winsock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

namespace {

// WinSock libraries by file name, with a call log.
struct TFakeWinSock {
    std::set<std::string> Present;
    std::set<std::string> Unloadable;
    std::set<std::string> Missing; // exports left out
    int StartupResult = 0;
    std::vector<uint16_t> StartupVersions;
    int Cleanups = 0;
    std::map<std::string, int> Lookups;
};
TFakeWinSock* GFake = nullptr;

int FakeStartup(uint16_t version, IpWs::TWSAData* data)
{
    GFake->StartupVersions.push_back(version);
    if (data)
        data->wVersion = version;
    return GFake->StartupResult;
}
int FakeCleanup()
{
    ++GFake->Cleanups;
    return 0;
}
IpWs::TSocket FakeSocket(int, int, int)
{
    return 77;
}

class TFakeModule : public TIpModule {
public:
    TIpProc GetProcAddress(std::string_view name) override
    {
        const std::string n(name);
        ++GFake->Lookups[n];
        if (GFake->Missing.count(n))
            return nullptr;
        if (n == "WSAStartup")
            return reinterpret_cast<TIpProc>(&FakeStartup);
        if (n == "WSACleanup")
            return reinterpret_cast<TIpProc>(&FakeCleanup);
        if (n == "socket")
            return reinterpret_cast<TIpProc>(&FakeSocket);
        return nullptr;
    }
};

class TFakeLoader : public TIpModuleLoader {
public:
    bool FileExists(const std::string& f) override { return GFake->Present.count(f) > 0; }
    std::unique_ptr<TIpModule> LoadLibrary(const std::string& f) override
    {
        if (!FileExists(f) || GFake->Unloadable.count(f))
            return nullptr;
        return std::make_unique<TFakeModule>();
    }
};

class IpWinSockAccessTest : public testing::Test {
protected:
    void SetUp() override { GFake = &Fake; }
    void TearDown() override { GFake = nullptr; }
    TFakeWinSock Fake;
    TFakeLoader Loader;
};

TEST_F(IpWinSockAccessTest, NewestLoadableLibraryWinsWithItsVersion)
{
    Fake.Present = {"ws2_32.dll", "wsock32.dll"};
    {
        TIpWinSockAccess access(&Loader);
        EXPECT_EQ(access.LoadedLevel(), 2);
        EXPECT_EQ(access.WsaData().wVersion, 0x0202);
    }
    Fake.Present = {"wsock32.dll"};
    {
        TIpWinSockAccess access(&Loader);
        EXPECT_EQ(access.LoadedLevel(), 1);
    }
    // A file that is there but does not load counts as absent.
    Fake.Present = {"ws2_32.dll", "wsock32.dll"};
    Fake.Unloadable = {"ws2_32.dll"};
    {
        TIpWinSockAccess access(&Loader);
        EXPECT_EQ(access.LoadedLevel(), 1);
    }
    EXPECT_EQ(Fake.StartupVersions, (std::vector<uint16_t>{0x0202, 0x0101, 0x0101}));
    EXPECT_EQ(Fake.Cleanups, 3);
}

TEST_F(IpWinSockAccessTest, NoLibraryLoadsNothingAndCleansNothing)
{
    {
        TIpWinSockAccess access(&Loader);
        EXPECT_EQ(access.LoadedLevel(), 0);
        try {
            access.GetSocket();
            FAIL() << "no library, no entry point";
        } catch (const EIpAccessException& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Win32 error loading 'socket' pointer: ", 0), 0u);
        }
    }
    EXPECT_TRUE(Fake.StartupVersions.empty());
    EXPECT_EQ(Fake.Cleanups, 0);
}

TEST_F(IpWinSockAccessTest, EntryPointsResolveOnceAndMissingOnesRaiseEveryTime)
{
    Fake.Present = {"wsock32.dll"};
    Fake.Missing = {"bind"};
    TIpWinSockAccess access(&Loader);
    EXPECT_EQ(access.GetSocket()(2, 1, 0), 77u);
    access.GetSocket();
    EXPECT_EQ(Fake.Lookups["socket"], 1);
    EXPECT_THROW(access.GetBind(), EIpAccessException);
    EXPECT_THROW(access.GetBind(), EIpAccessException);
    EXPECT_EQ(Fake.Lookups["bind"], 2);
    try {
        access.GetWsaAccept();
        FAIL() << "WinSock 2 entry point on a WinSock 1 library";
    } catch (const EIpAccessException& e) {
        EXPECT_STREQ(e.what(), "WSAAccept requires WinSock 2, and this system only has WinSock 1");
    }
    EXPECT_EQ(Fake.Lookups.count("WSAAccept"), 0u);
    // The lock was released on each failure.
    std::thread([&] { access.GetSocket(); }).join();
}

TEST_F(IpWinSockAccessTest, FailedStartupRaisesWithTheCodeAndUnloads)
{
    Fake.Present = {"ws2_32.dll"};
    Fake.StartupResult = 10092;
    try {
        TIpWinSockAccess access(&Loader);
        FAIL() << "start-up should fail";
    } catch (const EIpWinSockError& e) {
        EXPECT_EQ(e.ErrorCode(), 10092);
        EXPECT_STREQ(
            e.what(),
            "WinSock Error (10092): WinSock DLL version not supported, on API 'WSAStartup'");
    }
    EXPECT_EQ(Fake.Cleanups, 1);
}

TEST_F(IpWinSockAccessTest, ProcessLoaderGoesOnAtLevelZeroAfterAFailedStart)
{
    Fake.Present = {"ws2_32.dll"};
    Fake.StartupResult = 10091;
    std::vector<std::string> reports;
    ASSERT_EQ(IpWinSockAccess(), nullptr);
    IpSockStartup([&](const std::string& text) { reports.push_back(text); }, &Loader);
    IpSockStartup(nullptr, &Loader); // counted: no second loader
    ASSERT_NE(IpWinSockAccess(), nullptr);
    EXPECT_EQ(IpWinSockAccess()->LoadedLevel(), 0);
    EXPECT_THROW(IpWinSockAccess()->GetSocket(), EIpAccessException);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("Network subsystem is unavailable"), std::string::npos);
    IpSockShutdown();
    EXPECT_NE(IpWinSockAccess(), nullptr);
    IpSockShutdown();
    EXPECT_EQ(IpWinSockAccess(), nullptr);
}

TEST(IpWinSockPosix, TheBindingOpensARealSocketThroughTheGetters)
{
    TIpWinSockAccess access;
    EXPECT_EQ(access.LoadedLevel(), 2);
    EXPECT_STREQ(access.WsaData().szSystemStatus, "Running");
    const IpWs::TSocket s = access.GetSocket()(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, IdWinsock2::INVALID_SOCKET);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = access.Gethtonl()(INADDR_LOOPBACK);
    ASSERT_EQ(access.GetBind()(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int len = sizeof addr;
    ASSERT_EQ(access.GetGetSockName()(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    EXPECT_NE(access.Getntohs()(addr.sin_port), 0);
    EXPECT_STREQ(access.GetINet_Ntoa()(addr.sin_addr), "127.0.0.1");
    uint32_t net = 0;
    ASSERT_EQ(access.GetWsaHtonl()(s, INADDR_LOOPBACK, &net), 0);
    EXPECT_EQ(net, addr.sin_addr.s_addr);
    EXPECT_EQ(access.GetCloseSocket()(s), 0);
    ASSERT_NE(access.GetGetProtoByName()("tcp"), nullptr);
    EXPECT_EQ(access.GetGetProtoByName()("tcp")->p_proto, 6);
    // What the binding does not support is a missing export, not a crash.
    EXPECT_THROW(access.GetWsaSetBlockingHook(), EIpAccessException);
    EXPECT_THROW(access.GetWsaLookupServiceBegin(), EIpAccessException);
}

TEST(IpWinSockTexts, ErrorTextsAndNames)
{
    EXPECT_EQ(WinSockErrorMessage(10053), "Software caused connection abort");
    // strerror's text of an unknown code lives only until its next call.
    const std::string unknown = std::strerror(10094);
    EXPECT_EQ(WinSockErrorMessage(10094), unknown);
    EXPECT_EQ(WinSockErrorMessage(10102), "No more data available");
    EXPECT_EQ(WinSockErrorMessage(10110), "No more data available");
    EXPECT_EQ(WinSockErrorMessage(11015), "General error");
    EXPECT_EQ(SocketEventName(3), "");
    EXPECT_EQ(SocketEventName(32), "Fd_Close");
    EXPECT_EQ(AsyncLookupName(3), "WsaAsyncGetServByPort");
    EXPECT_EQ(AsyncLookupName(4), "");
    EXPECT_EQ(EIpWinSockError(10061, "connect").ErrorCode(), 10061);
}

} // namespace
