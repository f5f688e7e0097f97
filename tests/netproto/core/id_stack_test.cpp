#include "netproto/core/id_stack.h"
#include "netproto/core/id_winsock2.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// The binding table is process-wide; every test leaves it started.
class StackTest : public ::testing::Test {
protected:
    void SetUp() override { stack = std::make_unique<TIdStackWindows>(); }
    std::unique_ptr<TIdStackWindows> stack;
};

int ClosedLoopbackPort(TIdStack& s)
{
    auto h = s.CreateSocketHandle(Id_SOCK_STREAM);
    s.CheckForSocketError(s.Bind(h, Id_PF_INET, "127.0.0.1", 0));
    int fam = 0, port = 0;
    std::string addr;
    s.GetSockName(h, fam, addr, port);
    s.CloseSocket(h);
    return port;
}

} // namespace

TEST(Winsock2Binding, CallBeforeStartupRaisesNotInitialised)
{
    IdWinsock2::TWSAData data;
    IdWinsock2::WSAStartup(0x0202, &data);
    IdWinsock2::UnloadWinsock2();
    try {
        IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
        ADD_FAILURE() << "no exception";
    } catch (const IdWinsock2::EIdWS2StubError& e) {
        EXPECT_EQ(e.Win32Error(), 10093u);
    }
    EXPECT_THROW(IdWinsock2::htons(1), IdWinsock2::EIdWS2StubError);
    EXPECT_EQ(IdWinsock2::WSAStartup(0x0202, &data), 0);
    EXPECT_TRUE(IdWinsock2::Winsock2Loaded());
    // A second start-up answers 0 at once.
    EXPECT_EQ(IdWinsock2::WSAStartup(0x0202, nullptr), 0);
    EXPECT_EQ(IdWinsock2::htons(0x1234), htons(0x1234));
}

// The errors a caller tolerates or reports by number must keep their
// WinSock numbers when they come from the Linux calls.
TEST(Winsock2Binding, ErrnoRowsGiveTheirWinsockNumbers)
{
    const struct {
        int err;
        int wsa;
    } rows[] = {
        {EINTR, 10004}, {EBADF, 10009}, {ENOTSOCK, 10038}, {EAGAIN, 10035}, {EWOULDBLOCK, 10035},
    };
    for (const auto& r : rows)
        EXPECT_EQ(IdWinsock2::ErrnoToWSAError(r.err), r.wsa) << r.err;
}

// Two lines joined by CR LF: the number, then the code's text, which is
// empty for a code the table does not know.
TEST_F(StackTest, SocketErrorTexts)
{
    const struct {
        int code;
        const char* text;
    } rows[] = {
        {10061, "Socket Error # 10061\r\nConnection refused."},
        {11001, "Socket Error # 11001\r\nHost not found."},
        {10035, "Socket Error # 10035\r\nOperation would block. "},
        {10066, "Socket Error # 10066\r\nDirectory not empty"},
        {12345, "Socket Error # 12345\r\n"},
        {0, "Socket Error # 0\r\n"},
        {-1, "Socket Error # -1\r\n"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(stack->TranslateSocketErrorMsg(r.code), r.text) << r.code;
    try {
        stack->RaiseSocketError(10054);
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10054);
        EXPECT_STREQ(e.what(), "Socket Error # 10054\r\nConnection reset by peer.");
    }
}

TEST_F(StackTest, LastErrorIsPerThread)
{
    using namespace IdWinsock2;
    WSASetLastError(10061);
    int other = -1;
    std::thread t([&] {
        WSASetLastError(10054);
        other = WSAGetLastError();
    });
    t.join();
    EXPECT_EQ(other, 10054);
    EXPECT_EQ(WSAGetLastError(), 10061);
}

TEST_F(StackTest, CheckForSocketErrorToleratesListedCodes)
{
    IdWinsock2::WSASetLastError(10054);
    EXPECT_FALSE(stack->CheckForSocketError(0, {10054}));
    EXPECT_TRUE(stack->CheckForSocketError(-1, {10053, 10054}));
    EXPECT_EQ(stack->LastError(), 10054);
    try {
        stack->CheckForSocketError(-1, {10053});
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10054);
    }
}

TEST_F(StackTest, ParseIPv4Forms)
{
    auto p = TIdStack::ParseIPv4("10.1");
    EXPECT_EQ(p.Kind, 1);
    EXPECT_EQ(p.Bytes, (std::array<uint8_t, 4>{10, 0, 0, 1}));
    EXPECT_FALSE(TIdStack::IsIP("256.1.1.1"));
    EXPECT_FALSE(TIdStack::IsIP("1.2.3.4.5"));
    EXPECT_FALSE(TIdStack::IsIP("1.2.x.4"));
    EXPECT_FALSE(TIdStack::IsIP(""));
    EXPECT_FALSE(TIdStack::IsIP("4294967296"));
    p = TIdStack::ParseIPv4("3232235777");
    EXPECT_EQ(p.Kind, 2);
    EXPECT_EQ(stack->InAddrToString(p.Bytes), "192.168.1.1");
    p = TIdStack::ParseIPv4("1.2.772");
    EXPECT_EQ(p.Bytes, (std::array<uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(p.Class, 2);
    EXPECT_EQ(TIdStack::ParseIPv4("200.1.1.1").Class, 3);
    EXPECT_EQ(TIdStack::ParseIPv4("230.1.1.1").Class, 4);
    EXPECT_EQ(TIdStack::ParseIPv4("250.1.1.1").Class, 5);
    std::array<uint8_t, 4> a{};
    EXPECT_THROW(stack->StringToInAddr("1.2.3.999", a), EIdInvalidIPAddress);
}

TEST_F(StackTest, ResolveHostShortcuts)
{
    EXPECT_EQ(stack->ResolveHost("LocalHost"), "127.0.0.1");
    EXPECT_EQ(stack->ResolveHost("localhost"), "127.0.0.1");
    EXPECT_EQ(stack->ResolveHost("127.0.0.9"), "127.0.0.9");
}

TEST_F(StackTest, ServiceByName)
{
    EXPECT_EQ(stack->ServiceByName("4711"), 4711);
    EXPECT_THROW(stack->ServiceByName("no-such-service-x"), EIdInvalidServiceName);
}

TEST_F(StackTest, SocketListHoldsSixtyFour)
{
    TIdSocketListWindows list;
    for (int i = 0; i < 64; ++i)
        list.Add(static_cast<TIdStackSocketHandle>(100 + i));
    EXPECT_THROW(list.Add(5), EIdStackSetSizeExceeded);
    list.Remove(100);
    EXPECT_EQ(list.Count(), 63);
    EXPECT_EQ(list.GetItem(0), 163u); // the last took the freed slot
    list.Remove(9999);
    EXPECT_EQ(list.Count(), 63);
    EXPECT_THROW(list.GetItem(63), EIdStackSetSizeExceeded);
}

TEST_F(StackTest, RefusedConnectGives10061)
{
    int port = ClosedLoopbackPort(*stack);
    auto h = stack->CreateSocketHandle(Id_SOCK_STREAM);
    int rc = stack->Connect(h, Id_PF_INET, "127.0.0.1", port);
    try {
        stack->CheckForSocketError(rc);
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10061);
    }
    stack->CloseSocket(h);
}

TEST_F(StackTest, SelectWaitsAndReportsReadable)
{
    auto l = stack->CreateSocketHandle(Id_SOCK_STREAM);
    stack->CheckForSocketError(stack->Bind(l, Id_PF_INET, "127.0.0.1", 0));
    stack->CheckForSocketError(stack->Listen(l, 5));
    int fam, port;
    std::string addr;
    stack->GetSockName(l, fam, addr, port);
    EXPECT_EQ(addr, "127.0.0.1");

    TIdSocketListWindows r;
    r.Add(l);
    EXPECT_EQ(stack->Select(&r, nullptr, 20), 0);
    EXPECT_EQ(r.Count(), 0);

    auto c = stack->CreateSocketHandle(Id_SOCK_STREAM);
    stack->CheckForSocketError(stack->Connect(c, Id_PF_INET, "127.0.0.1", port));
    r.Add(l);
    EXPECT_EQ(stack->Select(&r, nullptr, 2000), 1);
    EXPECT_EQ(r.Count(), 1);
    std::string peer;
    int peerPort = 0;
    auto a = stack->Accept(l, peer, peerPort);
    ASSERT_NE(a, Id_INVALID_SOCKET);
    EXPECT_EQ(peer, "127.0.0.1");
    EXPECT_GT(peerPort, 0);

    // A send to a peer that closed reports an error code, never SIGPIPE.
    stack->CloseSocket(a);
    char buf[4096] = {};
    int rc = 0;
    for (int i = 0; i < 100 && rc >= 0; ++i)
        rc = stack->Send(c, buf, sizeof buf, 0);
    EXPECT_EQ(rc, -1);
    int code = stack->GetLastSocketError();
    EXPECT_TRUE(code == 10054 || code == 10058) << code;
    // A negative length is refused, not taken as a huge buffer.
    char small[8] = {};
    EXPECT_EQ(IdWinsock2::recv(c, small, -1, 0), -1);
    EXPECT_EQ(IdWinsock2::WSAGetLastError(), 10014);
    EXPECT_EQ(IdWinsock2::send(c, small, -1, 0), -1);
    EXPECT_EQ(IdWinsock2::WSAGetLastError(), 10014);
    stack->CloseSocket(c);
    stack->CloseSocket(l);

    TIdSocketListWindows big;
    EXPECT_EQ(stack->Select(&big, nullptr, 0), 0);
}
