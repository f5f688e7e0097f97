// The binding's asynchronous rows: event objects, WSAAsyncSelect and
// WSAEventSelect on the socket watcher, and the asynchronous look-ups.
#include "netproto/core/id_async_select.h"
#include "netproto/core/id_winsock2.h"
#include "netproto/core/id_winsock2_detail.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace IdWinsock2 {

using namespace Detail;

namespace {

// ---- Event objects ------------------------------------------------------------

// A manual-reset event: an event descriptor that is readable while set.
class TEventObject {
public:
    explicit TEventObject(int fd) : FFd(fd) {}
    ~TEventObject() { ::close(FFd); }
    TEventObject(const TEventObject&) = delete;
    TEventObject& operator=(const TEventObject&) = delete;
    int Fd() const { return FFd; }
    void Set() const
    {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(FFd, &one, sizeof one);
    }
    void Reset() const
    {
        uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(FFd, &value, sizeof value);
    }

private:
    int FFd;
};
using TEventRef = std::shared_ptr<const TEventObject>;

// Handles are numbers that are never reused, so a closed event's handle
// names no other event.
std::mutex GEventLock;
std::map<TWSAEvent, TEventRef> GEvents;
TWSAEvent GNextEvent = 1;

TEventRef FindEvent(TWSAEvent event)
{
    std::lock_guard guard(GEventLock);
    auto it = GEvents.find(event);
    return it == GEvents.end() ? nullptr : it->second;
}

// ---- The sockets under WSAAsyncSelect and WSAEventSelect -----------------------

TIdAsyncSelect& Selected()
{
    static TIdAsyncSelect select;
    return select;
}

// The network events recorded for WSAEnumNetworkEvents, per socket.
std::mutex GRecordLock;
std::map<TSocket, TWSANetworkEvents> GRecords;

int EventBit(uint32_t event)
{
    int bit = 0;
    while (bit < FD_MAX_EVENTS && !(event & (1u << bit)))
        ++bit;
    return bit;
}

bool MakeNonBlocking(TSocket s)
{
    const int flags = ::fcntl(Fd(s), F_GETFL, 0);
    return flags >= 0 && ::fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

// Connections offered to WSAAccept's condition function and deferred, by
// listener, oldest first.
std::mutex GDeferLock;
std::map<TSocket, std::vector<int>> GDeferred;

} // namespace

namespace Detail {

void AfterListen(TSocket s)
{
    if (Selected().Any())
        Selected().Listening(s);
}

void AfterConnect(TSocket s)
{
    if (Selected().Any())
        Selected().Connecting(s);
}

void AfterRecv(TSocket s)
{
    if (Selected().Any())
        Selected().Received(s);
}

void AfterAccept(TSocket listener, TSocket accepted)
{
    if (!Selected().Any())
        return;
    Selected().Accepted(listener);
    Selected().Inherit(listener, accepted, Fd(accepted));
}

void AfterSendBlocked(TSocket s)
{
    if (Selected().Any())
        Selected().SendBlocked(s);
}

void BeforeClose(TSocket s)
{
    if (Selected().Any())
        Selected().Remove(s);
    {
        std::lock_guard guard(GRecordLock);
        GRecords.erase(s);
    }
    std::lock_guard guard(GDeferLock);
    auto it = GDeferred.find(s);
    if (it == GDeferred.end())
        return;
    for (int fd : it->second)
        ::close(fd);
    GDeferred.erase(it);
}

// A connection deferred earlier on this listener, or -1.
int TakeDeferred(TSocket listener)
{
    std::lock_guard guard(GDeferLock);
    auto it = GDeferred.find(listener);
    if (it == GDeferred.end() || it->second.empty())
        return -1;
    const int fd = it->second.front();
    it->second.erase(it->second.begin());
    return fd;
}

void Defer(TSocket listener, int fd)
{
    std::lock_guard guard(GDeferLock);
    GDeferred[listener].push_back(fd);
}

} // namespace Detail

namespace {

bool WithEvent(const char* name, TWSAEvent event, void (TEventObject::*act)() const)
{
    Need(name);
    const TEventRef e = FindEvent(event);
    if (!e) {
        SetError(WSA_INVALID_HANDLE);
        return false;
    }
    ((*e).*act)();
    return true;
}

} // namespace

TWSAEvent WSACreateEvent()
{
    Need("WSACreateEvent");
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        Fail();
        return WSA_INVALID_EVENT;
    }
    auto object = std::make_shared<const TEventObject>(fd);
    std::lock_guard guard(GEventLock);
    const TWSAEvent handle = GNextEvent++;
    GEvents.emplace(handle, std::move(object));
    return handle;
}

bool WSACloseEvent(TWSAEvent event)
{
    Need("WSACloseEvent");
    std::lock_guard guard(GEventLock);
    // A select that still signals it keeps the descriptor until it ends.
    if (GEvents.erase(event) == 0) {
        SetError(WSA_INVALID_HANDLE);
        return false;
    }
    return true;
}

bool WSASetEvent(TWSAEvent event)
{
    return WithEvent("WSASetEvent", event, &TEventObject::Set);
}

bool WSAResetEvent(TWSAEvent event)
{
    return WithEvent("WSAResetEvent", event, &TEventObject::Reset);
}

uint32_t WSAWaitForMultipleEvents(uint32_t count, const TWSAEvent* events, bool waitAll,
                                  uint32_t timeoutMs, bool /*alertable*/)
{
    Need("WSAWaitForMultipleEvents");
    if (count == 0 || count > WSA_MAXIMUM_WAIT_EVENTS || !events) {
        SetError(WSA_INVALID_PARAMETER);
        return WSA_WAIT_FAILED;
    }
    std::vector<TEventRef> held;
    std::vector<pollfd> fds;
    for (uint32_t i = 0; i < count; ++i) {
        TEventRef e = FindEvent(events[i]);
        if (!e) {
            SetError(WSA_INVALID_HANDLE);
            return WSA_WAIT_FAILED;
        }
        fds.push_back({e->Fd(), POLLIN, 0});
        held.push_back(std::move(e));
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs != WSA_INFINITE) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
        // With waitAll, every event is looked at anew each round: only all
        // of them set at one moment ends the wait.
        for (auto& p : fds)
            p.revents = 0;
        int rc = ::poll(fds.data(), fds.size(), waitAll ? 0 : wait);
        if (rc < 0 && errno != EINTR) {
            Fail();
            return WSA_WAIT_FAILED;
        }
        if (!waitAll) {
            for (uint32_t i = 0; i < count && rc > 0; ++i)
                if (fds[i].revents & POLLIN)
                    return WSA_WAIT_EVENT_0 + i;
        } else if (rc == static_cast<int>(count)) {
            return WSA_WAIT_EVENT_0;
        }
        if (wait == 0)
            return WSA_WAIT_TIMEOUT;
        if (waitAll) {
            // Sleep until one of those not set changes.
            std::vector<pollfd> unset;
            for (const auto& p : fds)
                if (!(p.revents & POLLIN))
                    unset.push_back({p.fd, POLLIN, 0});
            ::poll(unset.data(), unset.size(), wait);
        }
    }
}

int WSAAsyncSelect(TSocket s, const TGuiTarget& window, uint32_t msg, long event)
{
    Need("WSAAsyncSelect");
    if (!CheckSocket(s))
        return SOCKET_ERROR;
    if (event != 0 && !MakeNonBlocking(s))
        return Fail();
    {
        std::lock_guard guard(GRecordLock);
        GRecords.erase(s);
    }
    Selected().Select(
        s, Fd(s), static_cast<uint32_t>(event), [window, msg](uint32_t id, uint32_t ev, int error) {
            window.Post(msg, id, WSAMAKESELECTREPLY(ev, static_cast<uint32_t>(error)));
        });
    return 0;
}

int WSAEventSelect(TSocket s, TWSAEvent event, long networkEvents)
{
    Need("WSAEventSelect");
    if (!CheckSocket(s))
        return SOCKET_ERROR;
    TEventRef e = FindEvent(event);
    if (!e && networkEvents != 0)
        return SetError(WSAEINVAL);
    if (networkEvents != 0 && !MakeNonBlocking(s))
        return Fail();
    {
        std::lock_guard guard(GRecordLock);
        GRecords.erase(s);
    }
    Selected().Select(s, Fd(s), static_cast<uint32_t>(networkEvents),
                      [e](uint32_t id, uint32_t ev, int error) {
                          std::lock_guard guard(GRecordLock);
                          TWSANetworkEvents& record = GRecords[id];
                          record.lNetworkEvents |= static_cast<int32_t>(ev);
                          record.iErrorCode[EventBit(ev)] = error;
                          e->Set();
                      });
    return 0;
}

int WSAEnumNetworkEvents(TSocket s, TWSAEvent event, TWSANetworkEvents* events)
{
    Need("WSAEnumNetworkEvents");
    if (!CheckSocket(s))
        return SOCKET_ERROR;
    if (!events)
        return SetError(WSAEFAULT);
    TEventRef e;
    if (event != WSA_INVALID_EVENT && !(e = FindEvent(event)))
        return SetError(WSAEINVAL);
    std::lock_guard guard(GRecordLock);
    auto it = GRecords.find(s);
    *events = it == GRecords.end() ? TWSANetworkEvents{} : it->second;
    if (it != GRecords.end())
        it->second = TWSANetworkEvents{};
    if (e)
        e->Reset();
    return 0;
}

// ---- Asynchronous look-ups ------------------------------------------------------

namespace {

// A looked-up entry, copied out of the C library's storage.
struct TEntry {
    std::string Name;
    std::vector<std::string> Aliases;
    // hostent: the address type, length and addresses; servent: the port
    // and protocol name; protoent: the number.
    int Type = 0;
    int Length = 0;
    std::vector<std::string> Addresses;
    std::string Proto;
    int Number = 0;
};
enum class TEntryKind { Host, Serv, Proto };

// Lays an entry out in a caller's buffer: the record first, then the
// pointer arrays, then the strings and addresses. Writes only when it all
// fits; returns the length it needs.
size_t Layout(const TEntry& e, TEntryKind kind, char* buf, int len)
{
    auto pass = [&](bool write) {
        size_t used = 0;
        auto reserve = [&](size_t size, size_t align) {
            used = (used + align - 1) / align * align;
            char* at = write ? buf + used : nullptr;
            used += size;
            return at;
        };
        auto copy = [&](const std::string& s, bool terminated) {
            char* at = reserve(s.size() + (terminated ? 1 : 0), terminated ? 1 : 4);
            if (at)
                std::memcpy(at, s.c_str(), s.size() + (terminated ? 1 : 0));
            return at;
        };
        const size_t size = kind == TEntryKind::Host   ? sizeof(hostent)
                            : kind == TEntryKind::Serv ? sizeof(servent)
                                                       : sizeof(protoent);
        char* record = reserve(size, alignof(std::max_align_t));
        auto** aliases = reinterpret_cast<char**>(
            reserve((e.Aliases.size() + 1) * sizeof(char*), alignof(char*)));
        auto** addrs = kind == TEntryKind::Host
                           ? reinterpret_cast<char**>(
                                 reserve((e.Addresses.size() + 1) * sizeof(char*), alignof(char*)))
                           : nullptr;
        char* name = copy(e.Name, true);
        for (size_t i = 0; i < e.Aliases.size(); ++i) {
            char* alias = copy(e.Aliases[i], true);
            if (write)
                aliases[i] = alias;
        }
        for (size_t i = 0; i < e.Addresses.size(); ++i) {
            char* address = copy(e.Addresses[i], false);
            if (write)
                addrs[i] = address;
        }
        char* proto = kind == TEntryKind::Serv ? copy(e.Proto, true) : nullptr;
        if (write) {
            aliases[e.Aliases.size()] = nullptr;
            if (kind == TEntryKind::Host) {
                addrs[e.Addresses.size()] = nullptr;
                *reinterpret_cast<hostent*>(record) =
                    hostent{name, aliases, e.Type, e.Length, addrs};
            } else if (kind == TEntryKind::Serv) {
                *reinterpret_cast<servent*>(record) = servent{name, aliases, e.Number, proto};
            } else {
                *reinterpret_cast<protoent*>(record) = protoent{name, aliases, e.Number};
            }
        }
        return used;
    };
    const size_t need = pass(false);
    if (len >= 0 && need <= static_cast<size_t>(len))
        pass(true);
    return need;
}

std::vector<std::string> Strings(char** list)
{
    std::vector<std::string> out;
    for (; list && *list; ++list)
        out.emplace_back(*list);
    return out;
}

std::optional<TEntry> FromHost(const hostent* h)
{
    if (!h)
        return std::nullopt;
    TEntry e;
    e.Name = h->h_name ? h->h_name : "";
    e.Aliases = Strings(h->h_aliases);
    e.Type = h->h_addrtype;
    e.Length = h->h_length;
    for (char** a = h->h_addr_list; a && *a; ++a)
        e.Addresses.emplace_back(*a, static_cast<size_t>(h->h_length));
    return e;
}

std::optional<TEntry> FromServ(const servent* s)
{
    if (!s)
        return std::nullopt;
    TEntry e;
    e.Name = s->s_name;
    e.Aliases = Strings(s->s_aliases);
    e.Number = s->s_port;
    e.Proto = s->s_proto ? s->s_proto : "";
    return e;
}

std::optional<TEntry> FromProto(const protoent* p)
{
    if (!p)
        return std::nullopt;
    TEntry e;
    e.Name = p->p_name;
    e.Aliases = Strings(p->p_aliases);
    e.Number = p->p_proto;
    return e;
}

struct TRequest {
    std::thread Worker;
    bool Done = false;
    bool Cancelled = false;
};

// Requests run on a thread each; a finished thread is joined by the next
// request or at the end of the process.
class TRequests {
public:
    ~TRequests()
    {
        std::map<THandle, TRequest> all;
        {
            std::lock_guard guard(Lock);
            all.swap(FItems);
        }
        for (auto& [h, r] : all)
            if (r.Worker.joinable())
                r.Worker.join();
    }

    THandle Start(const TGuiTarget& window, uint32_t msg, char* buf, int buflen, TEntryKind kind,
                  std::function<std::optional<TEntry>()> lookup)
    {
        std::vector<std::thread> finished;
        THandle handle;
        {
            std::lock_guard guard(Lock);
            for (auto it = FItems.begin(); it != FItems.end();) {
                if (it->second.Done) {
                    finished.push_back(std::move(it->second.Worker));
                    it = FItems.erase(it);
                } else {
                    ++it;
                }
            }
            handle = FNext++;
            FItems[handle].Worker = std::thread(
                [this, handle, window, msg, buf, buflen, kind, lookup = std::move(lookup)] {
                    std::optional<TEntry> entry;
                    int error = 0;
                    try {
                        entry = lookup();
                        if (!entry)
                            error = WSAGetLastError();
                    } catch (const EIdWS2StubError& e) {
                        error = static_cast<int>(e.Win32Error());
                    }
                    Finish(handle, window, msg, buf, buflen, kind, entry, error);
                });
        }
        for (auto& t : finished)
            t.join();
        return handle;
    }

    int Cancel(THandle handle)
    {
        std::lock_guard guard(Lock);
        auto it = FItems.find(handle);
        if (it == FItems.end())
            return SetError(WSAEINVAL);
        if (it->second.Done || it->second.Cancelled)
            return SetError(WSAEALREADY);
        it->second.Cancelled = true;
        return 0;
    }

private:
    void Finish(THandle handle, const TGuiTarget& window, uint32_t msg, char* buf, int buflen,
                TEntryKind kind, const std::optional<TEntry>& entry, int error)
    {
        std::lock_guard guard(Lock);
        TRequest& r = FItems[handle];
        r.Done = true;
        if (r.Cancelled)
            return;
        size_t length = 0;
        if (entry) {
            length = Layout(*entry, kind, buf, buflen);
            if (buflen < 0 || length > static_cast<size_t>(buflen))
                error = WSAENOBUFS;
        }
        window.Post(msg, handle,
                    WSAMAKEASYNCREPLY(static_cast<uint32_t>(length), static_cast<uint32_t>(error)));
    }

    std::mutex Lock;
    std::map<THandle, TRequest> FItems;
    THandle FNext = 1;
};

TRequests& Requests()
{
    static TRequests requests;
    return requests;
}

THandle NoRequest(int error)
{
    SetError(error);
    return 0;
}

} // namespace

THandle WSAAsyncGetServByName(const TGuiTarget& window, uint32_t msg, const char* name,
                              const char* proto, char* buf, int buflen)
{
    Need("WSAAsyncGetServByName");
    if (!name)
        return NoRequest(WSAEFAULT);
    return Requests().Start(
        window, msg, buf, buflen, TEntryKind::Serv,
        [n = std::string(name), p = proto ? std::optional<std::string>(proto) : std::nullopt] {
            return FromServ(getservbyname(n.c_str(), p ? p->c_str() : nullptr));
        });
}

THandle WSAAsyncGetServByPort(const TGuiTarget& window, uint32_t msg, int port, const char* proto,
                              char* buf, int buflen)
{
    Need("WSAAsyncGetServByPort");
    return Requests().Start(window, msg, buf, buflen, TEntryKind::Serv,
                            [port, p = proto ? std::optional<std::string>(proto) : std::nullopt] {
                                return FromServ(getservbyport(port, p ? p->c_str() : nullptr));
                            });
}

THandle WSAAsyncGetProtoByName(const TGuiTarget& window, uint32_t msg, const char* name, char* buf,
                               int buflen)
{
    Need("WSAAsyncGetProtoByName");
    if (!name)
        return NoRequest(WSAEFAULT);
    return Requests().Start(window, msg, buf, buflen, TEntryKind::Proto, [n = std::string(name)] {
        return FromProto(getprotobyname(n.c_str()));
    });
}

THandle WSAAsyncGetProtoByNumber(const TGuiTarget& window, uint32_t msg, int number, char* buf,
                                 int buflen)
{
    Need("WSAAsyncGetProtoByNumber");
    return Requests().Start(window, msg, buf, buflen, TEntryKind::Proto,
                            [number] { return FromProto(getprotobynumber(number)); });
}

THandle WSAAsyncGetHostByName(const TGuiTarget& window, uint32_t msg, const char* name, char* buf,
                              int buflen)
{
    Need("WSAAsyncGetHostByName");
    if (!name)
        return NoRequest(WSAEFAULT);
    return Requests().Start(window, msg, buf, buflen, TEntryKind::Host,
                            [n = std::string(name)] { return FromHost(gethostbyname(n.c_str())); });
}

THandle WSAAsyncGetHostByAddr(const TGuiTarget& window, uint32_t msg, const char* addr, int len,
                              int type, char* buf, int buflen)
{
    Need("WSAAsyncGetHostByAddr");
    if (!addr || len <= 0)
        return NoRequest(WSAEFAULT);
    return Requests().Start(window, msg, buf, buflen, TEntryKind::Host,
                            [a = std::string(addr, static_cast<size_t>(len)), type] {
                                return FromHost(
                                    gethostbyaddr(a.data(), static_cast<int>(a.size()), type));
                            });
}

int WSACancelAsyncRequest(THandle request)
{
    Need("WSACancelAsyncRequest");
    return Requests().Cancel(request);
}

} // namespace IdWinsock2
