#include "netproto/core/id_winsock2.h"
#include "socket_test_helpers.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

// Inside the binding's namespace its calls hide the C library's of the same
// names; the plain POSIX calls are written with "::".
namespace IdWinsock2 {

namespace {

void Started()
{
    TWSAData data;
    WSAStartup(0x0202, &data);
}

sockaddr_in Loopback(uint16_t port = 0)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(port);
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    return a;
}

// A listening binding socket on a loopback port of the system's choosing.
TSocket Listener(uint16_t& port)
{
    const TSocket s = IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback();
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(s, 8), 0);
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ::ntohs(a.sin_port);
    return s;
}

// A plain POSIX client, so the binding is checked against code it does not
// share.
int RawConnect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    return fd;
}

// The select and look-up messages a window got.
struct TMessages {
    struct TMessage {
        uint32_t Msg;
        uintptr_t WParam;
        uint32_t Low;
        uint32_t High;
    };
    TMessages()
        : Window([this](uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
              Got.push_back({msg, w, WSAGETSELECTEVENT(l), WSAGETSELECTERROR(l)});
              return 0;
          })
    {
    }
    int Count(uintptr_t socket, uint32_t event) const
    {
        int n = 0;
        for (const auto& m : Got)
            n += m.WParam == socket && m.Low == event;
        return n;
    }
    bool WaitFor(uintptr_t socket, uint32_t event, int count = 1)
    {
        return PumpUntil([&] { return Count(socket, event) >= count; }, 20000);
    }
    std::vector<TMessage> Got;
    TGuiReceiver Window;
};

std::vector<std::vector<std::string>> Entries(const std::string& path)
{
    std::vector<std::vector<std::string>> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> entry;
        for (std::string w; words >> w;)
            entry.push_back(w);
        if (entry.size() >= 2)
            out.push_back(entry);
    }
    return out;
}

} // namespace

TEST(Winsock2Rows, EveryRowNeedsStartupAndUnsupportedRowsSaySo)
{
    Started();
    struct TRow {
        const char* Name;
        std::function<void()> Call;
        bool Bound;
    };
    const TSocket s = INVALID_SOCKET;
    char c[16] = {};
    int n = 0;
    uint32_t u = 0;
    const TGuiTarget window;
    const std::vector<TRow> rows = {
        {"WSACleanup", [] { WSACleanup(); }, true},
        {"accept", [&] { accept(s, nullptr, nullptr); }, true},
        {"bind", [&] { bind(s, nullptr, 0); }, true},
        {"closesocket", [&] { closesocket(s); }, true},
        {"connect", [&] { connect(s, nullptr, 0); }, true},
        {"ioctlsocket", [&] { ioctlsocket(s, 0, &u); }, true},
        {"getpeername", [&] { getpeername(s, nullptr, &n); }, true},
        {"getsockname", [&] { getsockname(s, nullptr, &n); }, true},
        {"getsockopt", [&] { getsockopt(s, 0, 0, c, &n); }, true},
        {"htonl", [] { htonl(1); }, true},
        {"htons", [] { htons(1); }, true},
        {"inet_addr", [] { inet_addr("1.2.3.4"); }, true},
        {"inet_ntoa", [] { IdWinsock2::inet_ntoa(in_addr{}); }, true},
        {"listen", [&] { listen(s, 1); }, true},
        {"ntohl", [] { ntohl(1); }, true},
        {"ntohs", [] { ntohs(1); }, true},
        {"recv", [&] { recv(s, c, 1, 0); }, true},
        {"recvfrom", [&] { recvfrom(s, c, 1, 0, nullptr, nullptr); }, true},
        {"select", [] { select(0, nullptr, nullptr, nullptr, nullptr); }, true},
        {"send", [&] { send(s, c, 1, 0); }, true},
        {"sendto", [&] { sendto(s, c, 1, 0, nullptr, 0); }, true},
        {"setsockopt", [&] { setsockopt(s, 0, 0, c, 0); }, true},
        {"shutdown", [&] { shutdown(s, SD_BOTH); }, true},
        {"socket", [] { socket(0, 0, 0); }, true},
        {"gethostbyaddr", [&] { gethostbyaddr(c, 4, AF_INET); }, true},
        {"gethostbyname", [] { gethostbyname("localhost"); }, true},
        {"gethostname", [&] { gethostname(c, sizeof c); }, true},
        {"getservbyport", [] { getservbyport(0, nullptr); }, true},
        {"getservbyname", [] { getservbyname("smtp", nullptr); }, true},
        {"getprotobynumber", [] { getprotobynumber(6); }, true},
        {"getprotobyname", [] { getprotobyname("tcp"); }, true},
        {"WSASetLastError", [] { WSASetLastError(0); }, true},
        {"WSAGetLastError", [] { WSAGetLastError(); }, true},
        {"WSAIsBlocking", [] { WSAIsBlocking(); }, true},
        {"WSAUnhookBlockingHook", [] { WSAUnhookBlockingHook(); }, false},
        {"WSASetBlockingHook", [] { WSASetBlockingHook(nullptr); }, false},
        {"WSACancelBlockingCall", [] { WSACancelBlockingCall(); }, false},
        {"WSAAsyncGetServByName", [&] { WSAAsyncGetServByName(window, 0, nullptr, nullptr, c, 0); },
         true},
        {"WSAAsyncGetServByPort", [&] { WSAAsyncGetServByPort(window, 0, 0, nullptr, c, 0); },
         true},
        {"WSAAsyncGetProtoByName", [&] { WSAAsyncGetProtoByName(window, 0, nullptr, c, 0); }, true},
        {"WSAAsyncGetProtoByNumber", [&] { WSAAsyncGetProtoByNumber(window, 0, 0, c, 0); }, true},
        {"WSAAsyncGetHostByName", [&] { WSAAsyncGetHostByName(window, 0, nullptr, c, 0); }, true},
        {"WSAAsyncGetHostByAddr", [&] { WSAAsyncGetHostByAddr(window, 0, nullptr, 0, 0, c, 0); },
         true},
        {"WSACancelAsyncRequest", [] { WSACancelAsyncRequest(0); }, true},
        {"WSAAsyncSelect", [&] { WSAAsyncSelect(s, window, 0, 0); }, true},
        {"__WSAFDIsSet",
         [&] {
             TFDSet set;
             __WSAFDIsSet(s, &set);
         },
         true},
        {"WSAAccept", [&] { WSAAccept(s, nullptr, nullptr, nullptr, 0); }, true},
        {"WSACloseEvent", [] { WSACloseEvent(WSA_INVALID_EVENT); }, true},
        {"WSAConnect", [&] { WSAConnect(s, nullptr, 0, nullptr, nullptr, nullptr, nullptr); },
         true},
        {"WSACreateEvent", [] { WSACloseEvent(WSACreateEvent()); }, true},
        {"WSADuplicateSocketA", [&] { WSADuplicateSocketA(s, 0, nullptr); }, false},
        {"WSADuplicateSocketW", [&] { WSADuplicateSocketW(s, 0, nullptr); }, false},
        {"WSAEnumNetworkEvents", [&] { WSAEnumNetworkEvents(s, WSA_INVALID_EVENT, nullptr); },
         true},
        {"WSAEnumProtocolsA", [&] { WSAEnumProtocolsA(nullptr, nullptr, &u); }, false},
        {"WSAEnumProtocolsW", [&] { WSAEnumProtocolsW(nullptr, nullptr, &u); }, false},
        {"WSAEventSelect", [&] { WSAEventSelect(s, WSA_INVALID_EVENT, 0); }, true},
        {"WSAGetOverlappedResult",
         [&] { WSAGetOverlappedResult(s, nullptr, nullptr, false, nullptr); }, true},
        {"WSAGetQosByName", [&] { WSAGetQosByName(s, nullptr, nullptr); }, false},
        {"WSAHtonl", [&] { WSAHtonl(s, 0, nullptr); }, true},
        {"WSAHtons", [&] { WSAHtons(s, 0, nullptr); }, true},
        {"WSAIoctl", [&] { WSAIoctl(s, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr); },
         true},
        {"WSAJoinLeaf", [&] { WSAJoinLeaf(s, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0); },
         false},
        {"WSANtohl", [&] { WSANtohl(s, 0, nullptr); }, true},
        {"WSANtohs", [&] { WSANtohs(s, 0, nullptr); }, true},
        {"WSARecv", [&] { WSARecv(s, nullptr, 0, nullptr, nullptr, nullptr, nullptr); }, true},
        {"WSARecvDisconnect", [&] { WSARecvDisconnect(s, nullptr); }, true},
        {"WSARecvFrom",
         [&] { WSARecvFrom(s, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
         true},
        {"WSAResetEvent", [] { WSAResetEvent(WSA_INVALID_EVENT); }, true},
        {"WSASend", [&] { WSASend(s, nullptr, 0, nullptr, 0, nullptr, nullptr); }, true},
        {"WSASendDisconnect", [&] { WSASendDisconnect(s, nullptr); }, true},
        {"WSASendTo", [&] { WSASendTo(s, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr); },
         true},
        {"WSASetEvent", [] { WSASetEvent(WSA_INVALID_EVENT); }, true},
        {"WSASocketA", [] { WSASocketA(0, 0, 0, nullptr, 0, 0); }, true},
        {"WSASocketW", [] { WSASocketW(0, 0, 0, nullptr, 0, 0); }, true},
        {"WSAWaitForMultipleEvents", [] { WSAWaitForMultipleEvents(0, nullptr, false, 0, false); },
         true},
        {"WSAAddressToStringA", [&] { WSAAddressToStringA(nullptr, 0, nullptr, c, &u); }, true},
        {"WSAAddressToStringW", [&] { WSAAddressToStringW(nullptr, 0, nullptr, nullptr, &u); },
         true},
        {"WSAStringToAddressA", [&] { WSAStringToAddressA(nullptr, 0, nullptr, nullptr, &n); },
         true},
        {"WSAStringToAddressW", [&] { WSAStringToAddressW(nullptr, 0, nullptr, nullptr, &n); },
         true},
        {"WSALookupServiceBeginA", [] { WSALookupServiceBeginA(nullptr, 0, nullptr); }, false},
        {"WSALookupServiceBeginW", [] { WSALookupServiceBeginW(nullptr, 0, nullptr); }, false},
        {"WSALookupServiceNextA", [] { WSALookupServiceNextA(0, 0, nullptr, nullptr); }, false},
        {"WSALookupServiceNextW", [] { WSALookupServiceNextW(0, 0, nullptr, nullptr); }, false},
        {"WSALookupServiceEnd", [] { WSALookupServiceEnd(0); }, false},
        {"WSAInstallServiceClassA", [] { WSAInstallServiceClassA(nullptr); }, false},
        {"WSAInstallServiceClassW", [] { WSAInstallServiceClassW(nullptr); }, false},
        {"WSARemoveServiceClass", [] { WSARemoveServiceClass(nullptr); }, false},
        {"WSAGetServiceClassInfoA",
         [] { WSAGetServiceClassInfoA(nullptr, nullptr, nullptr, nullptr); }, false},
        {"WSAGetServiceClassInfoW",
         [] { WSAGetServiceClassInfoW(nullptr, nullptr, nullptr, nullptr); }, false},
        {"WSAEnumNameSpaceProvidersA", [] { WSAEnumNameSpaceProvidersA(nullptr, nullptr); }, false},
        {"WSAEnumNameSpaceProvidersW", [] { WSAEnumNameSpaceProvidersW(nullptr, nullptr); }, false},
        {"WSAGetServiceClassNameByClassIdA",
         [] { WSAGetServiceClassNameByClassIdA(nullptr, nullptr, nullptr); }, false},
        {"WSAGetServiceClassNameByClassIdW",
         [] { WSAGetServiceClassNameByClassIdW(nullptr, nullptr, nullptr); }, false},
        {"WSASetServiceA", [] { WSASetServiceA(nullptr, 0, 0); }, false},
        {"WSASetServiceW", [] { WSASetServiceW(nullptr, 0, 0); }, false},
        {"WSAProviderConfigChange", [] { WSAProviderConfigChange(nullptr, nullptr, nullptr); },
         false},
        {"TransmitFile", [&] { TransmitFile(s, -1, 0, 0, nullptr, nullptr, 0); }, true},
        {"AcceptEx", [&] { AcceptEx(s, s, nullptr, 0, 0, 0, nullptr, nullptr); }, true},
        {"GetAcceptExSockaddrs",
         [] { GetAcceptExSockaddrs(nullptr, 0, 0, 0, nullptr, nullptr, nullptr, nullptr); }, true},
        {"WSARecvEx", [&] { WSARecvEx(s, c, 1, &n); }, true},
        // The names without the A suffix reach the "A" rows.
        {"WSADuplicateSocketA", [&] { WSADuplicateSocket(s, 0, nullptr); }, false},
        {"WSAEnumProtocolsA", [&] { WSAEnumProtocols(nullptr, nullptr, &u); }, false},
        {"WSASocketA", [] { WSASocket(0, 0, 0, nullptr, 0, 0); }, true},
        {"WSAAddressToStringA", [&] { WSAAddressToString(nullptr, 0, nullptr, c, &u); }, true},
        {"WSAStringToAddressA", [&] { WSAStringToAddress(nullptr, 0, nullptr, nullptr, &n); },
         true},
        {"WSALookupServiceBeginA", [] { WSALookupServiceBegin(nullptr, 0, nullptr); }, false},
        {"WSALookupServiceNextA", [] { WSALookupServiceNext(0, 0, nullptr, nullptr); }, false},
        {"WSAInstallServiceClassA", [] { WSAInstallServiceClass(nullptr); }, false},
        {"WSAGetServiceClassInfoA",
         [] { WSAGetServiceClassInfo(nullptr, nullptr, nullptr, nullptr); }, false},
        {"WSAEnumNameSpaceProvidersA", [] { WSAEnumNameSpaceProviders(nullptr, nullptr); }, false},
        {"WSAGetServiceClassNameByClassIdA",
         [] { WSAGetServiceClassNameByClassId(nullptr, nullptr, nullptr); }, false},
        {"WSASetServiceA", [] { WSASetService(nullptr, 0, 0); }, false},
    };
    ASSERT_EQ(rows.size(), 112u);
    // Every exported name of the table is here once (the twelve names
    // without the A suffix reach theirs a second time).
    std::set<std::string> names;
    for (const auto& row : rows)
        names.insert(row.Name);
    EXPECT_EQ(names.size(), 100u);

    auto answer = [](const std::function<void()>& call) -> std::pair<uint32_t, std::string> {
        try {
            call();
        } catch (const EIdWS2StubError& e) {
            return {e.Win32Error(), e.Title()};
        }
        return {0, ""};
    };
    UnloadWinsock2();
    for (const auto& row : rows) {
        const auto [code, title] = answer(row.Call);
        EXPECT_EQ(code, 10093u) << row.Name;
        EXPECT_EQ(title, std::string("Error on call Winsock2 library function ") + row.Name);
    }
    Started();
    for (const auto& row : rows) {
        if (row.Bound)
            continue;
        const auto [code, title] = answer(row.Call);
        EXPECT_EQ(code, 10045u) << row.Name;
        EXPECT_EQ(title, std::string("Error on call Winsock2 library function ") + row.Name);
    }
}

TEST(Winsock2Rows, ProtocolAndServiceNamesComeFromTheNetbaseFiles)
{
    Started();
    const auto protocols = Entries("/etc/protocols");
    const auto services = Entries("/etc/services");
    ASSERT_GT(protocols.size(), 10u) << "netbase is missing";
    ASSERT_GT(services.size(), 100u) << "netbase is missing";

    // A name answers with the first line that has it as name or alias, a
    // number with the first line that has that number.
    std::map<std::string, int> protoByName;
    std::map<int, std::string> protoByNumber;
    for (const auto& entry : protocols) {
        const int number = std::stoi(entry[1]);
        protoByNumber.emplace(number, entry[0]);
        for (size_t i = 0; i < entry.size(); ++i)
            if (i != 1)
                protoByName.emplace(entry[i], number);
    }
    for (const auto& [name, number] : protoByName) {
        const protoent* p = getprotobyname(name.c_str());
        ASSERT_NE(p, nullptr) << name;
        EXPECT_EQ(p->p_proto, number) << name;
    }
    for (const auto& [number, name] : protoByNumber) {
        const protoent* p = getprotobynumber(number);
        ASSERT_NE(p, nullptr) << number;
        EXPECT_EQ(p->p_name, name);
    }
    std::map<std::pair<std::string, std::string>, int> servByName;
    std::map<std::pair<int, std::string>, std::string> servByPort;
    for (const auto& entry : services) {
        const size_t slash = entry[1].find('/');
        const int port = std::stoi(entry[1].substr(0, slash));
        const std::string proto = entry[1].substr(slash + 1);
        servByPort.emplace(std::pair(port, proto), entry[0]);
        for (size_t i = 0; i < entry.size(); ++i)
            if (i != 1)
                servByName.emplace(std::pair(entry[i], proto), port);
    }
    for (const auto& [key, port] : servByName) {
        const servent* s = getservbyname(key.first.c_str(), key.second.c_str());
        ASSERT_NE(s, nullptr) << key.first;
        EXPECT_EQ(s->s_port, ::htons(static_cast<uint16_t>(port))) << key.first;
        EXPECT_EQ(s->s_proto, key.second);
    }
    for (const auto& [key, name] : servByPort) {
        const servent* s =
            getservbyport(::htons(static_cast<uint16_t>(key.first)), key.second.c_str());
        ASSERT_NE(s, nullptr) << key.first;
        EXPECT_EQ(s->s_name, name);
    }
    EXPECT_EQ(getprotobyname("no-such-protocol"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
    EXPECT_EQ(getservbyname("no-such-service", "tcp"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
}

TEST(Winsock2Rows, AsynchronousLookupsFillTheCallersBuffer)
{
    Started();
    TMessages window;
    const TGuiTarget target = window.Window.Target();
    alignas(std::max_align_t) char serv[MAXGETHOSTSTRUCT];
    alignas(std::max_align_t) char proto[MAXGETHOSTSTRUCT];
    alignas(std::max_align_t) char small[8];
    alignas(std::max_align_t) char cancelled[MAXGETHOSTSTRUCT];
    std::memset(cancelled, 0x55, sizeof cancelled);

    const THandle gone = WSAAsyncGetProtoByName(target, 1, "udp", cancelled, sizeof cancelled);
    const int cancel = WSACancelAsyncRequest(gone);
    const THandle h1 = WSAAsyncGetServByName(target, 1, "smtp", "tcp", serv, sizeof serv);
    const THandle h2 = WSAAsyncGetProtoByNumber(target, 2, 17, proto, sizeof proto);
    const THandle h3 = WSAAsyncGetServByPort(target, 3, ::htons(25), "tcp", small, sizeof small);
    const THandle h4 = WSAAsyncGetServByName(target, 4, "no-such-service", "tcp", serv, 0);
    ASSERT_TRUE(h1 && h2 && h3 && h4 && gone);
    ASSERT_TRUE(PumpUntil([&] { return window.Got.size() >= 4; }, 20000));
    std::map<uintptr_t, TMessages::TMessage> byHandle;
    for (const auto& m : window.Got)
        byHandle[m.WParam] = m;

    ASSERT_EQ(byHandle[h1].High, 0u);
    const auto* s = reinterpret_cast<const servent*>(serv);
    EXPECT_STREQ(s->s_name, "smtp");
    EXPECT_STREQ(s->s_proto, "tcp");
    EXPECT_EQ(s->s_port, ::htons(25));
    // Every pointer of the entry points into the caller's buffer.
    EXPECT_GE(s->s_name, serv);
    EXPECT_LT(s->s_name, serv + sizeof serv);
    ASSERT_EQ(byHandle[h2].High, 0u);
    EXPECT_STREQ(reinterpret_cast<const protoent*>(proto)->p_name, "udp");
    // Too small a buffer: WSAENOBUFS with the length it needs.
    EXPECT_EQ(byHandle[h3].High, static_cast<uint32_t>(WSAENOBUFS));
    EXPECT_GT(byHandle[h3].Low, sizeof small);
    EXPECT_EQ(byHandle[h4].High, static_cast<uint32_t>(WSANO_DATA));

    // The request cancelled before it finished never posted nor wrote.
    if (cancel == 0) {
        EXPECT_EQ(byHandle.count(gone), 0u);
        EXPECT_EQ(cancelled[0], 0x55);
    } else {
        EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
    }
    EXPECT_EQ(WSACancelAsyncRequest(h1), SOCKET_ERROR);
}

TEST(Winsock2Rows, TransmitFileSendsBuffersAndFileByteForByte)
{
    Started();
    std::mt19937 gen(5);
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (auto& ch : content)
        ch = static_cast<char>(gen());
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
    std::fflush(file);
    const int fd = ::fileno(file);
    ::lseek(fd, 0, SEEK_SET);

    // The whole file between a head and a tail, then the disconnect.
    std::string got;
    sockettest::LoopbackPeer peer([&](int c) { got = sockettest::RecvUntilClose(c, 30000); });
    TSocket s = IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(static_cast<uint16_t>(peer.Port()));
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string head = "HEAD\r\n", tail = "\r\nTAIL";
    const TTransmitFileBuffers buffers{head.data(), static_cast<uint32_t>(head.size()), tail.data(),
                                       static_cast<uint32_t>(tail.size())};
    ASSERT_TRUE(TransmitFile(s, fd, 0, 65536, nullptr, &buffers, TF_DISCONNECT))
        << WSAGetLastError();
    peer.Join();
    EXPECT_TRUE(got == head + content + tail) << got.size() << " bytes";
    // Without an overlapped record the file's own position moved.
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), static_cast<off_t>(content.size()));
    closesocket(s);

    // An overlapped request sends the slice it names and completes.
    sockettest::LoopbackPeer slicePeer([&](int c) { got = sockettest::RecvUntilClose(c, 30000); });
    s = IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
    a = Loopback(static_cast<uint16_t>(slicePeer.Port()));
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    TWSAOverlapped overlapped;
    overlapped.Offset = 1000;
    overlapped.hEvent = WSACreateEvent();
    ASSERT_TRUE(TransmitFile(s, fd, 5000, 0, &overlapped, nullptr, TF_DISCONNECT));
    slicePeer.Join();
    EXPECT_TRUE(got == content.substr(1000, 5000));
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &overlapped.hEvent, false, 0, false), WSA_WAIT_EVENT_0);
    uint32_t transferred = 0, flags = 0;
    EXPECT_TRUE(WSAGetOverlappedResult(s, &overlapped, &transferred, false, &flags));
    EXPECT_EQ(transferred, 5000u);
    WSACloseEvent(overlapped.hEvent);
    closesocket(s);

    // A peer that goes away is an error code, not the end of the program.
    sockettest::LoopbackPeer quitter([](int c) {
        char b[16];
        ::recv(c, b, sizeof b, 0);
        linger l{1, 0};
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    });
    s = IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
    a = Loopback(static_cast<uint16_t>(quitter.Port()));
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    bool sent = true;
    for (int i = 0; i < 20 && sent; ++i) {
        ::lseek(fd, 0, SEEK_SET);
        sent = TransmitFile(s, fd, 0, 0, nullptr, nullptr, 0);
    }
    EXPECT_FALSE(sent);
    const int error = WSAGetLastError();
    EXPECT_TRUE(error == WSAECONNRESET || error == WSAESHUTDOWN) << error;
    quitter.Join();
    closesocket(s);

    // A handle that is no socket takes nothing, as WinSock's would not.
    FILE* target = std::tmpfile();
    ASSERT_NE(target, nullptr);
    ::lseek(fd, 0, SEEK_SET);
    EXPECT_FALSE(
        TransmitFile(static_cast<TSocket>(::fileno(target)), fd, 0, 0, nullptr, nullptr, 0));
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(::lseek(::fileno(target), 0, SEEK_END), 0) << "written into a file";
    std::fclose(target);
    std::fclose(file);
}

TEST(Winsock2Rows, AcceptExGivesTheConnectionTheAcceptSocketsHandle)
{
    Started();
    uint16_t port = 0;
    const TSocket listener = Listener(port);
    const TSocket acceptSocket = IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
    const int client = RawConnect(port);
    sockettest::SendRaw(client, "hello, station");

    // Address slots too small are refused before anything is accepted.
    alignas(8) char buffer[64 + 2 * (sizeof(sockaddr_in) + 16)];
    uint32_t received = 0;
    EXPECT_FALSE(AcceptEx(listener, acceptSocket, buffer, 5, sizeof(sockaddr_in),
                          sizeof(sockaddr_in), &received, nullptr));
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);

    const uint32_t slot = sizeof(sockaddr_in) + 16;
    ASSERT_TRUE(AcceptEx(listener, acceptSocket, buffer, 5, slot, slot, &received, nullptr))
        << WSAGetLastError();
    EXPECT_EQ(received, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    sockaddr* local = nullptr;
    sockaddr* remote = nullptr;
    int localLen = 0, remoteLen = 0;
    GetAcceptExSockaddrs(buffer, 5, slot, slot, &local, &localLen, &remote, &remoteLen);
    sockaddr_in clientLocal{}, clientPeer{}, gotLocal{}, gotRemote{};
    socklen_t len = sizeof clientLocal;
    ::getsockname(client, reinterpret_cast<sockaddr*>(&clientLocal), &len);
    len = sizeof clientPeer;
    ::getpeername(client, reinterpret_cast<sockaddr*>(&clientPeer), &len);
    ASSERT_EQ(localLen, static_cast<int>(sizeof(sockaddr_in)));
    ASSERT_EQ(remoteLen, static_cast<int>(sizeof(sockaddr_in)));
    std::memcpy(&gotLocal, local, sizeof gotLocal);
    std::memcpy(&gotRemote, remote, sizeof gotRemote);
    EXPECT_EQ(gotLocal.sin_port, clientPeer.sin_port);
    EXPECT_EQ(gotRemote.sin_port, clientLocal.sin_port);
    EXPECT_EQ(gotRemote.sin_addr.s_addr, clientLocal.sin_addr.s_addr);

    // The caller's handle now is the connection: the rest of the data comes
    // through it, and what it sends reaches the client.
    char rest[32] = {};
    EXPECT_EQ(recv(acceptSocket, rest, sizeof rest, 0), 9);
    EXPECT_EQ(std::string(rest, 9), ", station");
    const std::string reply = "73";
    EXPECT_EQ(send(acceptSocket, reply.data(), 2, 0), 2);
    EXPECT_EQ(sockettest::RecvUntil(client, "73"), "73");
    ::close(client);
    closesocket(acceptSocket);
    closesocket(listener);
}

TEST(Winsock2Rows, WSAAcceptAsksTheConditionAndKeepsADeferredConnection)
{
    Started();
    uint16_t port = 0;
    const TSocket listener = Listener(port);
    auto verdict = [](const TWSABuf* caller, const TWSABuf*, TQualityOfService*, TQualityOfService*,
                      const TWSABuf* callee, TWSABuf*, uint32_t*, uintptr_t data) -> int {
        // The caller's identity is the peer address, the callee's ours.
        sockaddr_in peer{}, local{};
        std::memcpy(&peer, caller->buf, sizeof peer);
        std::memcpy(&local, callee->buf, sizeof local);
        EXPECT_EQ(peer.sin_addr.s_addr, ::htonl(INADDR_LOOPBACK));
        EXPECT_NE(local.sin_port, 0);
        return *reinterpret_cast<int*>(data);
    };
    int answer = CF_REJECT;
    const int rejected = RawConnect(port);
    EXPECT_EQ(WSAAccept(listener, nullptr, nullptr, verdict, reinterpret_cast<uintptr_t>(&answer)),
              INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    EXPECT_EQ(sockettest::RecvUntilClose(rejected), "");
    ::close(rejected);

    const int deferred = RawConnect(port);
    sockettest::SendRaw(deferred, "first");
    answer = CF_DEFER;
    EXPECT_EQ(WSAAccept(listener, nullptr, nullptr, verdict, reinterpret_cast<uintptr_t>(&answer)),
              INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSATRY_AGAIN);
    const int later = RawConnect(port);
    answer = CF_ACCEPT;
    sockaddr_in from{};
    int fromLen = sizeof from;
    const TSocket s = WSAAccept(listener, reinterpret_cast<sockaddr*>(&from), &fromLen, verdict,
                                reinterpret_cast<uintptr_t>(&answer));
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(fromLen, static_cast<int>(sizeof from));
    char b[8] = {};
    EXPECT_EQ(recv(s, b, 5, 0), 5);
    EXPECT_EQ(std::string(b, 5), "first");
    closesocket(s);
    ::close(deferred);
    ::close(later);
    closesocket(listener);
}

TEST(Winsock2Rows, AsyncSelectPostsEventsWithWinsocksReenabling)
{
    Started();
    TMessages window;
    uint16_t port = 0;
    const TSocket listener = Listener(port);
    const uint32_t mask = FD_ACCEPT | FD_READ | FD_WRITE | FD_CLOSE;
    ASSERT_EQ(WSAAsyncSelect(listener, window.Window.Target(), 7, mask), 0);
    const int client = RawConnect(port);
    ASSERT_TRUE(window.WaitFor(listener, FD_ACCEPT));
    const TSocket s = accept(listener, nullptr, nullptr);
    ASSERT_NE(s, INVALID_SOCKET);
    // The accepted socket has the listener's select: its first FD_WRITE.
    ASSERT_TRUE(window.WaitFor(s, FD_WRITE));

    sockettest::SendRaw(client, "abc");
    ASSERT_TRUE(window.WaitFor(s, FD_READ));
    // More data before any recv brings no second FD_READ: a second
    // connection's FD_ACCEPT, which comes after the data is there, shows the
    // watcher had its chance.
    sockettest::SendRaw(client, "def");
    ASSERT_TRUE(PumpUntil([&] {
        uint32_t waiting = 0;
        ioctlsocket(s, WS_FIONREAD, &waiting);
        return waiting == 6;
    }));
    const int second = RawConnect(port);
    ASSERT_TRUE(window.WaitFor(listener, FD_ACCEPT, 2));
    EXPECT_EQ(window.Count(s, FD_READ), 1);
    char b[8];
    EXPECT_EQ(recv(s, b, 2, 0), 2);
    ASSERT_TRUE(window.WaitFor(s, FD_READ, 2));

    // FD_CLOSE only once the data before it is read.
    ::close(client);
    EXPECT_EQ(recv(s, b, sizeof b, 0), 4);
    ASSERT_TRUE(window.WaitFor(s, FD_CLOSE));
    EXPECT_EQ(window.Got.back().Msg, 7u);

    // A connect: FD_CONNECT, then FD_WRITE; a refused one carries its error.
    const TSocket c = IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(c, window.Window.Target(), 8, FD_CONNECT | FD_WRITE), 0);
    sockaddr_in a = Loopback(port);
    EXPECT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(window.WaitFor(c, FD_WRITE));
    EXPECT_EQ(window.Count(c, FD_CONNECT), 1);
    const TSocket refused = IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(refused, window.Window.Target(), 8, FD_CONNECT), 0);
    a = Loopback(static_cast<uint16_t>(sockettest::UnusedPort()));
    connect(refused, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ASSERT_TRUE(window.WaitFor(refused, FD_CONNECT));
    for (const auto& m : window.Got) {
        if (m.WParam == refused) {
            EXPECT_EQ(m.High, static_cast<uint32_t>(WSAECONNREFUSED));
        }
    }
    ::close(second);
    for (TSocket x : {s, c, refused, listener})
        closesocket(x);
}

TEST(Winsock2Rows, EventSelectSignalsTheEventAndRecordsTheEvents)
{
    Started();
    uint16_t port = 0;
    const TSocket listener = Listener(port);
    const TWSAEvent event = WSACreateEvent();
    ASSERT_NE(event, WSA_INVALID_EVENT);
    ASSERT_EQ(WSAEventSelect(listener, event, FD_ACCEPT | FD_READ | FD_CLOSE), 0);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, false, 0, false), WSA_WAIT_TIMEOUT);

    // Waited for on a thread without any message loop.
    uint32_t woke = WSA_WAIT_FAILED;
    std::thread waiter([&] { woke = WSAWaitForMultipleEvents(1, &event, false, 20000, false); });
    const int client = RawConnect(port);
    waiter.join();
    EXPECT_EQ(woke, WSA_WAIT_EVENT_0);
    TWSANetworkEvents events;
    ASSERT_EQ(WSAEnumNetworkEvents(listener, event, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, static_cast<int32_t>(FD_ACCEPT));
    // Enumerating reset the event and cleared the record.
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, false, 0, false), WSA_WAIT_TIMEOUT);
    ASSERT_EQ(WSAEnumNetworkEvents(listener, WSA_INVALID_EVENT, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, 0);

    const TSocket s = accept(listener, nullptr, nullptr);
    ASSERT_NE(s, INVALID_SOCKET);
    sockettest::SendRaw(client, "x");
    ::close(client);
    ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, false, 20000, false), WSA_WAIT_EVENT_0);
    ASSERT_EQ(WSAEnumNetworkEvents(s, event, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, static_cast<int32_t>(FD_READ));
    char b[4];
    EXPECT_EQ(recv(s, b, sizeof b, 0), 1);
    ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, false, 20000, false), WSA_WAIT_EVENT_0);
    ASSERT_EQ(WSAEnumNetworkEvents(s, event, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, static_cast<int32_t>(FD_CLOSE));
    EXPECT_EQ(events.iErrorCode[5], 0);

    // A refused connect records its error under FD_CONNECT's bit.
    const TSocket refused = IdWinsock2::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAEventSelect(refused, event, FD_CONNECT), 0);
    sockaddr_in a = Loopback(static_cast<uint16_t>(sockettest::UnusedPort()));
    connect(refused, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, false, 20000, false), WSA_WAIT_EVENT_0);
    ASSERT_EQ(WSAEnumNetworkEvents(refused, event, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, static_cast<int32_t>(FD_CONNECT));
    EXPECT_EQ(events.iErrorCode[4], WSAECONNREFUSED);

    // Waiting for all: one set event is not enough.
    const TWSAEvent pair[2] = {WSACreateEvent(), WSACreateEvent()};
    WSASetEvent(pair[1]);
    EXPECT_EQ(WSAWaitForMultipleEvents(2, pair, true, 50, false), WSA_WAIT_TIMEOUT);
    EXPECT_EQ(WSAWaitForMultipleEvents(2, pair, false, 0, false), WSA_WAIT_EVENT_0 + 1);
    WSASetEvent(pair[0]);
    EXPECT_EQ(WSAWaitForMultipleEvents(2, pair, true, 0, false), WSA_WAIT_EVENT_0);
    for (TWSAEvent e : pair)
        EXPECT_TRUE(WSACloseEvent(e));
    EXPECT_FALSE(WSASetEvent(pair[0]));
    EXPECT_EQ(WSAGetLastError(), WSA_INVALID_HANDLE);
    for (TSocket x : {s, refused, listener})
        closesocket(x);
    WSACloseEvent(event);
}

TEST(Winsock2Rows, ScatterGatherAndPartialMessages)
{
    Started();
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    char a[] = "radio ", b[] = "mail";
    const TWSABuf out[2] = {{6, a}, {4, b}};
    uint32_t sent = 0;
    TWSAOverlapped overlapped;
    ASSERT_EQ(WSASend(pair[0], out, 2, &sent, 0, &overlapped, nullptr), 0);
    EXPECT_EQ(sent, 10u);
    EXPECT_EQ(overlapped.InternalHigh, 10u);
    char x[3], y[16] = {};
    TWSABuf in[2] = {{3, x}, {16, y}};
    uint32_t received = 0, flags = 0;
    ASSERT_EQ(WSARecv(pair[1], in, 2, &received, &flags, nullptr, nullptr), 0);
    EXPECT_EQ(received, 10u);
    EXPECT_EQ(std::string(x, 3) + y, "radio mail");
    // Completion routines need a mechanism that runs them; none does.
    auto routine = [](uint32_t, uint32_t, TWSAOverlapped*, uint32_t) {};
    EXPECT_EQ(WSARecv(pair[1], in, 2, &received, &flags, nullptr, routine), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    ::close(pair[0]);
    ::close(pair[1]);

    // A datagram larger than the buffer.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    ::send(pair[0], "0123456789", 10, 0);
    char part[4];
    int partFlags = 0;
    EXPECT_EQ(WSARecvEx(pair[1], part, sizeof part, &partFlags), 4);
    EXPECT_EQ(partFlags, MSG_PARTIAL);
    ::send(pair[0], "ok", 2, 0);
    EXPECT_EQ(WSARecvEx(pair[1], part, sizeof part, &partFlags), 2);
    EXPECT_EQ(partFlags, 0);
    ::close(pair[0]);
    ::close(pair[1]);
}

// WinSock's blocking send takes all its bytes or fails: whatever Linux's
// send gives back part way (its time-out run out, a signal) is not the end.
TEST(Winsock2Rows, ABlockingSendTakesAllItsBytesOrTimesOut)
{
    Started();
    uint16_t port = 0;
    const TSocket listener = Listener(port);
    // A peer with a small receive window that reads nothing until told.
    auto connectPeer = [&](TSocket& sender, uint32_t timeoutMs) {
        const int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int window = 4096;
        ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        const sockaddr_in a = Loopback(port);
        EXPECT_EQ(::connect(peer, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
        sender = accept(listener, nullptr, nullptr);
        EXPECT_EQ(setsockopt(sender, WS_SOL_SOCKET, WS_SO_SNDTIMEO, &timeoutMs, sizeof timeoutMs),
                  0);
        return peer;
    };
    const std::string data(16 * 1024 * 1024, 'm');
    const int size = static_cast<int>(data.size());

    // Part of it goes before the time-out runs out: still a time-out.
    TSocket sender = INVALID_SOCKET;
    int peer = connectPeer(sender, 500);
    EXPECT_EQ(send(sender, data.data(), size, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    int waiting = 0;
    ::ioctl(peer, FIONREAD, &waiting);
    EXPECT_GT(waiting, 0);
    ::close(peer);
    closesocket(sender);

    // A signal part way: the rest goes once the peer reads.
    static std::atomic<bool> signalled{false};
    struct sigaction action {};
    struct sigaction before {};
    action.sa_handler = [](int) { signalled = true; };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &before), 0);
    peer = connectPeer(sender, 60000);
    int sent = 0;
    std::thread sending([&] {
        sent = send(sender, data.data(), size, 0);
        closesocket(sender);
    });
    // Bytes at the peer: the send is under way, and cannot end unread.
    EXPECT_TRUE(PumpUntil(
        [&] {
            ::ioctl(peer, FIONREAD, &waiting);
            return waiting > 0;
        },
        20000));
    ::pthread_kill(sending.native_handle(), SIGUSR1);
    EXPECT_TRUE(PumpUntil([] { return signalled.load(); }, 20000));
    EXPECT_EQ(sockettest::RecvUntilClose(peer, 60000).size(), data.size());
    sending.join();
    EXPECT_EQ(sent, size);
    ::sigaction(SIGUSR1, &before, nullptr);
    ::close(peer);
    closesocket(listener);
}

// The send time-out counts from the last bytes the peer took, not from the
// start of the call: a peer that reads slowly but steadily gets far more
// than a time-out's worth, and once it stops the send times out.
TEST(Winsock2Rows, ASendTimesOutOnlyOnceThePeerTakesNothingForTheTimeOut)
{
    Started();
    uint16_t port = 0;
    const TSocket listener = Listener(port);
    const int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int window = 16 * 1024;
    ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    const sockaddr_in a = Loopback(port);
    ASSERT_EQ(::connect(peer, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    const TSocket sender = accept(listener, nullptr, nullptr);
    // Small buffers, so that the send waits on the reader from the start.
    const int buffer = 64 * 1024;
    EXPECT_EQ(setsockopt(sender, WS_SOL_SOCKET, WS_SO_SNDBUF, &buffer, sizeof buffer), 0);
    const uint32_t timeoutMs = 1000;
    EXPECT_EQ(setsockopt(sender, WS_SOL_SOCKET, WS_SO_SNDTIMEO, &timeoutMs, sizeof timeoutMs), 0);

    const std::string data(4 * 1024 * 1024, 'm');
    int sent = 0;
    int error = 0;
    std::atomic<bool> done{false};
    std::thread sending([&] {
        sent = send(sender, data.data(), static_cast<int>(data.size()), 0);
        error = WSAGetLastError();
        done = true;
        closesocket(sender);
    });
    // About 800 KB a second, for two and a half time-outs.
    const size_t wanted = 2 * 1024 * 1024;
    size_t got = 0;
    char piece[16 * 1024];
    while (got < wanted) {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            break;
        const ssize_t n = ::recv(peer, piece, sizeof piece, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(got, wanted);
    EXPECT_FALSE(done);
    // Then it reads nothing more.
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 30000));
    if (!done)
        ::shutdown(peer, SHUT_RDWR);
    sending.join();
    EXPECT_EQ(sent, SOCKET_ERROR);
    EXPECT_EQ(error, WSAETIMEDOUT);
    ::close(peer);
    closesocket(listener);
}

TEST(Winsock2Rows, AddressTextsBothWays)
{
    Started();
    for (const std::string text :
         {"127.0.0.1:25", "10.1.2.3", "[fe80::1%2]:8080", "::1", "[2001:db8::7]:119"}) {
        const int family =
            text.find(':') != std::string::npos && text.find('.') == std::string::npos ? AF_INET6
                                                                                       : AF_INET;
        sockaddr_storage address{};
        int length = sizeof address;
        ASSERT_EQ(WSAStringToAddressA(text.c_str(), family, nullptr,
                                      reinterpret_cast<sockaddr*>(&address), &length),
                  0)
            << text;
        char back[64];
        uint32_t backLength = sizeof back;
        ASSERT_EQ(WSAAddressToStringA(reinterpret_cast<sockaddr*>(&address),
                                      static_cast<uint32_t>(length), nullptr, back, &backLength),
                  0);
        EXPECT_EQ(back, text);
        EXPECT_EQ(backLength, text.size() + 1);
        // The wide forms agree, and a short buffer learns the length.
        char16_t wide[64];
        uint32_t wideLength = 3;
        EXPECT_EQ(WSAAddressToStringW(reinterpret_cast<sockaddr*>(&address),
                                      static_cast<uint32_t>(length), nullptr, wide, &wideLength),
                  SOCKET_ERROR);
        EXPECT_EQ(wideLength, text.size() + 1);
        ASSERT_EQ(WSAAddressToStringW(reinterpret_cast<sockaddr*>(&address),
                                      static_cast<uint32_t>(length), nullptr, wide, &wideLength),
                  0);
        EXPECT_EQ(std::u16string(wide), std::u16string(text.begin(), text.end()));
    }
    for (const auto& [text, family] :
         std::vector<std::pair<std::string, int>>{{"1.2.3.4:99999", AF_INET},
                                                  {"1.2.3", AF_INET},
                                                  {"[::1", AF_INET6},
                                                  {"[::1]x", AF_INET6},
                                                  {"::1", AF_INET}}) {
        sockaddr_storage address{};
        int length = sizeof address;
        EXPECT_EQ(WSAStringToAddressA(text.c_str(), family, nullptr,
                                      reinterpret_cast<sockaddr*>(&address), &length),
                  SOCKET_ERROR)
            << text;
        EXPECT_EQ(WSAGetLastError(), WSAEINVAL) << text;
    }
}

} // namespace IdWinsock2
