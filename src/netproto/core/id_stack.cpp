#include "netproto/core/id_stack.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ws = IdWinsock2;

TIdStack* GStack = nullptr;

namespace {

std::atomic<bool> GStarted{false};
thread_local int GStackLastError = 0;

const char* ErrorText(int code)
{
    switch (code) {
    case 10004:
        return "Interrupted system call.";
    case 10009:
        return "Bad file number.";
    case 10013:
        return "Access denied.";
    case 10014:
        return "Bad address.";
    case 10022:
        return "Invalid argument.";
    case 10024:
        return "Too many open files.";
    case 10035:
        return "Operation would block. ";
    case 10036:
        return "Operation now in progress.";
    case 10037:
        return "Operation already in progress.";
    case 10038:
        return "Socket operation on non-socket.";
    case 10039:
        return "Destination address required.";
    case 10040:
        return "Message too long.";
    case 10041:
        return "Protocol wrong type for socket.";
    case 10042:
        return "Bad protocol option.";
    case 10043:
        return "Protocol not supported.";
    case 10044:
        return "Socket type not supported.";
    case 10045:
        return "Operation not supported on socket.";
    case 10046:
        return "Protocol family not supported.";
    case 10047:
        return "Address family not supported by protocol family.";
    case 10048:
        return "Address already in use.";
    case 10049:
        return "Cannot assign requested address.";
    case 10050:
        return "Network is down.";
    case 10051:
        return "Network is unreachable.";
    case 10052:
        return "Net dropped connection or reset.";
    case 10053:
        return "Software caused connection abort.";
    case 10054:
        return "Connection reset by peer.";
    case 10055:
        return "No buffer space available.";
    case 10056:
        return "Socket is already connected.";
    case 10057:
        return "Socket is not connected.";
    case 10058:
        return "Cannot send or receive after socket is closed.";
    case 10059:
        return "Too many references, cannot splice.";
    case 10060:
        return "Connection timed out.";
    case 10061:
        return "Connection refused.";
    case 10062:
        return "Too many levels of symbolic links.";
    case 10063:
        return "File name too long.";
    case 10064:
        return "Host is down.";
    case 10065:
        return "No route to host.";
    case 10066:
        return "Directory not empty";
    case 11001:
        return "Host not found.";
    default:
        return "";
    }
}

bool ParseDecimal(const std::string& s, uint64_t limit, uint64_t& out)
{
    if (s.empty() || s.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > limit)
        return false;
    out = v;
    return true;
}

sockaddr_in MakeAddr(const std::array<uint8_t, 4>& a, uint16_t portN)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = portN;
    std::memcpy(&sa.sin_addr, a.data(), 4);
    return sa;
}

std::array<uint8_t, 4> AddrBytes(const in_addr& in)
{
    std::array<uint8_t, 4> b{};
    std::memcpy(b.data(), &in, 4);
    return b;
}

} // namespace

bool StackStarted()
{
    return GStarted.load();
}

std::unique_ptr<TIdStack> CreateStack()
{
    return std::make_unique<TIdStackWindows>();
}

// ---- TIdSocketList ---------------------------------------------------------

std::unique_ptr<TIdSocketList> TIdSocketList::CreateSocketList()
{
    return std::make_unique<TIdSocketListWindows>();
}

TIdStackSocketHandle TIdSocketListWindows::GetItem(int index) const
{
    if (index < 0 || index >= Count())
        throw EIdStackSetSizeExceeded("Set Size Exceeded.");
    return FSet.fd_array[index];
}

void TIdSocketListWindows::Add(TIdStackSocketHandle handle)
{
    if (FSet.fd_count >= static_cast<uint32_t>(ws::WS_FD_SETSIZE))
        throw EIdStackSetSizeExceeded("Set Size Exceeded.");
    FSet.fd_array[FSet.fd_count++] = handle;
}

void TIdSocketListWindows::Remove(TIdStackSocketHandle handle)
{
    for (uint32_t i = 0; i < FSet.fd_count; ++i) {
        if (FSet.fd_array[i] == handle) {
            FSet.fd_array[i] = FSet.fd_array[FSet.fd_count - 1];
            --FSet.fd_count;
            return;
        }
    }
}

// ---- TIdStack --------------------------------------------------------------

int TIdStack::LastError() const
{
    return GStackLastError;
}
void TIdStack::SetLastError(int code)
{
    GStackLastError = code;
}

std::string TIdStack::LocalAddress()
{
    const auto& list = LocalAddresses();
    return list.empty() ? std::string() : list.front();
}

std::vector<std::string>& TIdStack::LocalAddressList()
{
    if (!FLocalAddresses)
        FLocalAddresses = std::make_unique<std::vector<std::string>>();
    return *FLocalAddresses;
}

const std::vector<std::string>& TIdStack::LocalAddresses()
{
    LocalAddressList();
    PopulateLocalAddresses();
    return *FLocalAddresses;
}

std::string TIdStack::TranslateSocketErrorMsg(int errorCode)
{
    char first[64];
    std::snprintf(first, sizeof first, "Socket Error # %d", errorCode);
    return std::string(first) + "\r\n" + ErrorText(errorCode);
}

bool TIdStack::CheckForSocketError(int result, std::initializer_list<int> ignore)
{
    if (result != Id_SOCKET_ERROR)
        return false;
    int code = GetLastSocketError();
    SetLastError(code);
    for (int i : ignore)
        if (i == code)
            return true;
    RaiseSocketError(code);
}

void TIdStack::CheckForSocketError(int result)
{
    CheckForSocketError(result, {});
}

void TIdStack::RaiseSocketError(int errorCode)
{
    throw EIdSocketError(errorCode, TranslateSocketErrorMsg(errorCode));
}

TIdStackSocketHandle TIdStack::CreateSocketHandle(int socketType, int protocol)
{
    TIdStackSocketHandle s = CreateSocket(Id_PF_INET, socketType, protocol);
    if (s == Id_INVALID_SOCKET)
        throw EIdInvalidSocket("Cannot allocate socket.");
    return s;
}

std::string TIdStack::ResolveHost(const std::string& host)
{
    std::string upper = host;
    for (auto& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (upper == "LOCALHOST")
        return "127.0.0.1";
    if (IsIP(host))
        return host;
    return HostByName(host);
}

bool TIdStack::IsIP(const std::string& text)
{
    return ParseIPv4(text).Kind != 0;
}

TIdIPv4Parse TIdStack::ParseIPv4(const std::string& text)
{
    TIdIPv4Parse r;
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() < 3) {
        size_t dot = text.find('.', start);
        if (dot == std::string::npos)
            break;
        parts.push_back(text.substr(start, dot - start));
        start = dot + 1;
    }
    // What follows a fourth dot stays in the last part and spoils it.
    parts.push_back(text.substr(start));
    uint64_t v[4] = {};
    auto& b = r.Bytes;
    switch (parts.size()) {
    case 1:
        if (!ParseDecimal(parts[0], 0xFFFFFFFFull, v[0]))
            return {};
        b = {uint8_t(v[0] >> 24), uint8_t(v[0] >> 16), uint8_t(v[0] >> 8), uint8_t(v[0])};
        r.Kind = 2;
        break;
    case 2:
        if (!ParseDecimal(parts[0], 255, v[0]) || !ParseDecimal(parts[1], 0xFFFFFF, v[1]))
            return {};
        b = {uint8_t(v[0]), uint8_t(v[1] >> 16), uint8_t(v[1] >> 8), uint8_t(v[1])};
        r.Kind = 1;
        r.Class = 1;
        break;
    case 3:
        if (!ParseDecimal(parts[0], 255, v[0]) || !ParseDecimal(parts[1], 255, v[1]) ||
            !ParseDecimal(parts[2], 0xFFFF, v[2]))
            return {};
        b = {uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2] >> 8), uint8_t(v[2])};
        r.Kind = 1;
        r.Class = 2;
        break;
    default:
        for (int i = 0; i < 4; ++i)
            if (!ParseDecimal(parts[i], 255, v[i]))
                return {};
        b = {uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3])};
        r.Kind = 1;
        r.Class = b[0] < 128 ? 1 : b[0] < 192 ? 2 : b[0] < 224 ? 3 : b[0] < 240 ? 4 : 5;
        break;
    }
    r.Valid = true;
    return r;
}

int64_t TIdStack::ServeFileOnSocket(TIdStackSocketHandle socket, const std::string& fileName)
{
    // Plain reads and sends: sendfile() would raise SIGPIPE on a closed peer.
    int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int64_t total = 0;
    bool ok = true;
    char buf[32768];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ssize_t pos = 0;
        while (ok && pos < n) {
            int sent = Send(socket, buf + pos, static_cast<int>(n - pos), 0);
            if (sent <= 0)
                ok = false;
            else
                pos += sent;
        }
        if (!ok)
            break;
        total += n;
    }
    ::close(fd);
    return ok ? total : 0;
}

// ---- TIdStackWindows -------------------------------------------------------

TIdStackWindows::TIdStackWindows()
{
    if (!GStarted.load()) {
        ws::TWSAData data;
        if (ws::WSAStartup(0x0202, &data) != 0)
            throw EIdStackInitializationFailed("Winsock Initialization Error.");
        GStarted.store(true);
    }
}

void TIdStackWindows::RaiseLookupError()
{
    int code = ws::WSAGetLastError();
    SetLastError(code);
    RaiseSocketError(code);
}

void TIdStackWindows::PopulateLocalAddresses()
{
    auto& list = LocalAddressList();
    list.clear();
    std::string name = HostName();
    const hostent* h = ws::gethostbyname(name.c_str());
    if (!h)
        RaiseLookupError();
    for (char** p = h->h_addr_list; *p; ++p) {
        in_addr a;
        std::memcpy(&a, *p, 4);
        list.push_back(InAddrToString(AddrBytes(a)));
    }
}

TIdStackSocketHandle TIdStackWindows::Accept(TIdStackSocketHandle socket, std::string& address,
                                             int& port)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    TIdStackSocketHandle r = ws::accept(socket, reinterpret_cast<sockaddr*>(&sa), &len);
    if (r != Id_INVALID_SOCKET) {
        address = InAddrToString(AddrBytes(sa.sin_addr));
        port = ws::ntohs(sa.sin_port);
    }
    return r;
}

int TIdStackWindows::Bind(TIdStackSocketHandle socket, int /*family*/, const std::string& address,
                          int port)
{
    std::array<uint8_t, 4> a{};
    if (!address.empty())
        StringToInAddr(address, a);
    sockaddr_in sa = MakeAddr(a, ws::htons(static_cast<uint16_t>(port)));
    return ws::bind(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int TIdStackWindows::CloseSocket(TIdStackSocketHandle socket)
{
    return ws::closesocket(socket);
}

int TIdStackWindows::Connect(TIdStackSocketHandle socket, int /*family*/,
                             const std::string& address, int port)
{
    std::array<uint8_t, 4> a{};
    if (!address.empty())
        StringToInAddr(address, a);
    sockaddr_in sa = MakeAddr(a, ws::htons(static_cast<uint16_t>(port)));
    return ws::connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

std::string TIdStackWindows::HostByName(const std::string& hostName)
{
    const hostent* h = ws::gethostbyname(hostName.c_str());
    if (!h || !h->h_addr_list[0])
        RaiseLookupError();
    in_addr a;
    std::memcpy(&a, h->h_addr_list[0], 4);
    return InAddrToString(AddrBytes(a));
}

std::string TIdStackWindows::HostName()
{
    char buf[250] = {};
    ws::gethostname(buf, sizeof buf - 1);
    return std::string(buf);
}

std::string TIdStackWindows::HostByAddress(const std::string& address)
{
    uint32_t a = ws::inet_addr(address.c_str());
    const hostent* h = ws::gethostbyaddr(reinterpret_cast<const char*>(&a), 4, Id_PF_INET);
    if (!h)
        RaiseLookupError();
    return h->h_name;
}

int TIdStackWindows::ServiceByName(const std::string& name)
{
    const servent* s = ws::getservbyname(name.c_str(), nullptr);
    if (s)
        return ws::ntohs(static_cast<uint16_t>(s->s_port));
    uint64_t v = 0;
    if (ParseDecimal(name, 0x7FFFFFFF, v))
        return static_cast<int>(v);
    throw EIdInvalidServiceName(name + " is not a valid service.");
}

std::vector<std::string> TIdStackWindows::ServiceByPort(int port)
{
    std::vector<std::string> out;
    const servent* s = ws::getservbyport(ws::htons(static_cast<uint16_t>(port)), nullptr);
    if (s) {
        out.push_back(s->s_name);
        for (char** p = s->s_aliases; p && *p; ++p)
            out.push_back(*p);
    }
    return out;
}

uint16_t TIdStackWindows::HToNS(uint16_t v)
{
    return ws::htons(v);
}
int TIdStackWindows::Listen(TIdStackSocketHandle socket, int backlog)
{
    return ws::listen(socket, backlog);
}
uint16_t TIdStackWindows::NToHS(uint16_t v)
{
    return ws::ntohs(v);
}
uint32_t TIdStackWindows::HToNL(uint32_t v)
{
    return ws::htonl(v);
}
uint32_t TIdStackWindows::NToHL(uint32_t v)
{
    return ws::ntohl(v);
}

int TIdStackWindows::Recv(TIdStackSocketHandle socket, void* buffer, int length, int flags)
{
    return ws::recv(socket, buffer, length, flags);
}

int TIdStackWindows::RecvFrom(TIdStackSocketHandle socket, void* buffer, int length, int flags,
                              std::string& address, int& port)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    int n = ws::recvfrom(socket, buffer, length, flags, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n >= 0) {
        address = InAddrToString(AddrBytes(sa.sin_addr));
        port = ws::ntohs(sa.sin_port);
    }
    return n;
}

int TIdStackWindows::Select(TIdSocketList* readList, TIdSocketList* writeList, int timeout,
                            TIdSocketList* exceptList)
{
    ws::TFDSet sets[3];
    TIdSocketList* lists[3] = {readList, writeList, exceptList};
    for (int i = 0; i < 3; ++i) {
        if (!lists[i])
            continue;
        if (lists[i]->Count() > ws::WS_FD_SETSIZE)
            throw EIdStackSetSizeExceeded("Set Size Exceeded.");
        sets[i].fd_count = static_cast<uint32_t>(lists[i]->Count());
        for (int k = 0; k < lists[i]->Count(); ++k)
            sets[i].fd_array[k] = lists[i]->GetItem(k);
    }
    timeval tv{};
    const timeval* ptv = nullptr;
    if (timeout != -2) {
        int t = timeout < 0 ? 0 : timeout;
        tv.tv_sec = t / 1000;
        tv.tv_usec = (t % 1000) * 1000;
        ptv = &tv;
    }
    int rc = ws::select(0, readList ? &sets[0] : nullptr, writeList ? &sets[1] : nullptr,
                        exceptList ? &sets[2] : nullptr, ptv);
    for (int i = 0; i < 3; ++i) {
        if (!lists[i])
            continue;
        // Clear and refill with what the set kept.
        while (lists[i]->Count() > 0)
            lists[i]->Remove(lists[i]->GetItem(lists[i]->Count() - 1));
        if (rc > 0)
            for (uint32_t k = 0; k < sets[i].fd_count; ++k)
                lists[i]->Add(sets[i].fd_array[k]);
    }
    return rc;
}

int TIdStackWindows::Send(TIdStackSocketHandle socket, const void* buffer, int length, int flags)
{
    return ws::send(socket, buffer, length, flags);
}

int TIdStackWindows::SendTo(TIdStackSocketHandle socket, const void* buffer, int length, int flags,
                            const std::string& address, int port)
{
    std::array<uint8_t, 4> a{};
    StringToInAddr(address, a);
    sockaddr_in sa = MakeAddr(a, ws::htons(static_cast<uint16_t>(port)));
    return ws::sendto(socket, buffer, length, flags, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int TIdStackWindows::SetSockOpt(TIdStackSocketHandle socket, int level, int option,
                                const void* value, int length)
{
    return ws::setsockopt(socket, level, option, value, length);
}

TIdStackSocketHandle TIdStackWindows::CreateSocket(int family, int type, int protocol)
{
    int t = type == Id_SOCK_STREAM ? SOCK_STREAM : type == Id_SOCK_DGRAM ? SOCK_DGRAM : type;
    return ws::socket(family == Id_PF_INET ? AF_INET : family, t, protocol);
}

int TIdStackWindows::Shutdown(TIdStackSocketHandle socket, int how)
{
    return ws::shutdown(socket, how);
}

std::string TIdStackWindows::TranslateSocketErrorMsg(int errorCode)
{
    if (errorCode == Id_WSAHOST_NOT_FOUND)
        return "Socket Error # 11001\r\nHost not found.";
    return TIdStack::TranslateSocketErrorMsg(errorCode);
}

int TIdStackWindows::GetLastSocketError()
{
    return ws::WSAGetLastError();
}

int TIdStackWindows::SocketName(int (*call)(ws::TSocket, sockaddr*, int*),
                                TIdStackSocketHandle socket, int& family, std::string& address,
                                int& port)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    int rc = call(socket, reinterpret_cast<sockaddr*>(&sa), &len);
    if (rc == 0) {
        family = Id_PF_INET;
        address = InAddrToString(AddrBytes(sa.sin_addr));
        port = ws::ntohs(sa.sin_port);
    }
    return rc;
}

int TIdStackWindows::GetPeerName(TIdStackSocketHandle socket, int& family, std::string& address,
                                 int& port)
{
    return SocketName(ws::getpeername, socket, family, address, port);
}

int TIdStackWindows::GetSockName(TIdStackSocketHandle socket, int& family, std::string& address,
                                 int& port)
{
    return SocketName(ws::getsockname, socket, family, address, port);
}

int TIdStackWindows::GetSockOpt(TIdStackSocketHandle socket, int level, int option, void* value,
                                int& length)
{
    return ws::getsockopt(socket, level, option, value, &length);
}

std::string TIdStackWindows::InAddrToString(const std::array<uint8_t, 4>& addr)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", addr[0], addr[1], addr[2], addr[3]);
    return buf;
}

void TIdStackWindows::StringToInAddr(const std::string& text, std::array<uint8_t, 4>& addr)
{
    TIdIPv4Parse p = ParseIPv4(text);
    if (p.Kind == 0)
        throw EIdInvalidIPAddress(text + " is not a valid IP address.");
    addr = p.Bytes;
}
