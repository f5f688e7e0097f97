// The socket stack: the one object through which the components reach the
// sockets, and the rule that turns a failed call into an exception.
#pragma once

#include "netproto/core/id_global.h"
#include "netproto/core/id_winsock2.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using TIdStackSocketHandle = IdWinsock2::TSocket;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = IdWinsock2::INVALID_SOCKET;
constexpr int Id_SOCKET_ERROR = IdWinsock2::SOCKET_ERROR;

constexpr int Id_PF_INET = 2;
constexpr int Id_SOCK_STREAM = 1;
constexpr int Id_SOCK_DGRAM = 2;
constexpr int Id_IPPROTO_TCP = 6;
constexpr int Id_TCP_NODELAY = 1;
constexpr int Id_SOL_SOCKET = IdWinsock2::WS_SOL_SOCKET;
constexpr int Id_SO_REUSEADDR = IdWinsock2::WS_SO_REUSEADDR;
constexpr int Id_SO_KEEPALIVE = IdWinsock2::WS_SO_KEEPALIVE;
constexpr int Id_SO_SNDTIMEO = IdWinsock2::WS_SO_SNDTIMEO;
constexpr int Id_SO_RCVTIMEO = IdWinsock2::WS_SO_RCVTIMEO;

// WinSock error numbers that callers test.
constexpr int Id_WSAEINTR = IdWinsock2::WSAEINTR;
constexpr int Id_WSAEBADF = IdWinsock2::WSAEBADF;
constexpr int Id_WSAEINVAL = IdWinsock2::WSAEINVAL;
constexpr int Id_WSAEWOULDBLOCK = IdWinsock2::WSAEWOULDBLOCK;
constexpr int Id_WSAENOTSOCK = IdWinsock2::WSAENOTSOCK;
constexpr int Id_WSAEADDRINUSE = IdWinsock2::WSAEADDRINUSE;
constexpr int Id_WSAECONNABORTED = IdWinsock2::WSAECONNABORTED;
constexpr int Id_WSAECONNRESET = IdWinsock2::WSAECONNRESET;
constexpr int Id_WSAESHUTDOWN = IdWinsock2::WSAESHUTDOWN;
constexpr int Id_WSAETIMEDOUT = IdWinsock2::WSAETIMEDOUT;
constexpr int Id_WSAECONNREFUSED = IdWinsock2::WSAECONNREFUSED;
constexpr int Id_WSAHOST_NOT_FOUND = IdWinsock2::WSAHOST_NOT_FOUND;

class EIdStackError : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdStackInitializationFailed : public EIdStackError {
public:
    using EIdStackError::EIdStackError;
};
class EIdStackSetSizeExceeded : public EIdStackError {
public:
    using EIdStackError::EIdStackError;
};
class EIdInvalidIPAddress : public EIdStackError {
public:
    using EIdStackError::EIdStackError;
};

// A list of socket handles in the layout of a WinSock descriptor set.
class TIdSocketList {
public:
    virtual ~TIdSocketList() = default;
    virtual TIdStackSocketHandle GetItem(int index) const = 0;
    virtual void Add(TIdStackSocketHandle handle) = 0;
    virtual void Remove(TIdStackSocketHandle handle) = 0;
    virtual int Count() const = 0;
    static std::unique_ptr<TIdSocketList> CreateSocketList();
};

class TIdSocketListWindows : public TIdSocketList {
public:
    TIdStackSocketHandle GetItem(int index) const override;
    void Add(TIdStackSocketHandle handle) override;
    void Remove(TIdStackSocketHandle handle) override;
    int Count() const override { return static_cast<int>(FSet.fd_count); }
    void Clear() { FSet.fd_count = 0; }
    IdWinsock2::TFDSet& Set() { return FSet; }

private:
    IdWinsock2::TFDSet FSet;
};

// Result of the IPv4 parser. Kind 0 = invalid, 1 = dotted, 2 = one number.
struct TIdIPv4Parse {
    bool Valid = false;
    std::array<uint8_t, 4> Bytes{};
    int Kind = 0;
    int Class = 0;
};

class TIdStack {
public:
    TIdStack() = default;
    virtual ~TIdStack() = default;
    TIdStack(const TIdStack&) = delete;
    TIdStack& operator=(const TIdStack&) = delete;

    virtual void PopulateLocalAddresses() = 0;
    virtual std::string LocalAddress();
    virtual const std::vector<std::string>& LocalAddresses();
    virtual TIdStackSocketHandle Accept(TIdStackSocketHandle socket, std::string& address,
                                        int& port) = 0;
    virtual int Bind(TIdStackSocketHandle socket, int family, const std::string& address,
                     int port) = 0;
    virtual int CloseSocket(TIdStackSocketHandle socket) = 0;
    virtual int Connect(TIdStackSocketHandle socket, int family, const std::string& address,
                        int port) = 0;
    virtual std::string HostByName(const std::string& hostName) = 0;
    virtual std::string HostName() = 0;
    virtual std::string HostByAddress(const std::string& address) = 0;
    virtual int ServiceByName(const std::string& name) = 0;
    virtual std::vector<std::string> ServiceByPort(int port) = 0;
    virtual uint16_t HToNS(uint16_t v) = 0;
    virtual int Listen(TIdStackSocketHandle socket, int backlog) = 0;
    virtual uint16_t NToHS(uint16_t v) = 0;
    virtual uint32_t HToNL(uint32_t v) = 0;
    virtual uint32_t NToHL(uint32_t v) = 0;
    virtual int Recv(TIdStackSocketHandle socket, void* buffer, int length, int flags) = 0;
    virtual int RecvFrom(TIdStackSocketHandle socket, void* buffer, int length, int flags,
                         std::string& address, int& port) = 0;
    // Time-out in milliseconds; -2 waits without limit.
    virtual int Select(TIdSocketList* readList, TIdSocketList* writeList, int timeout,
                       TIdSocketList* exceptList = nullptr) = 0;
    virtual int Send(TIdStackSocketHandle socket, const void* buffer, int length, int flags) = 0;
    virtual int SendTo(TIdStackSocketHandle socket, const void* buffer, int length, int flags,
                       const std::string& address, int port) = 0;
    virtual int SetSockOpt(TIdStackSocketHandle socket, int level, int option, const void* value,
                           int length) = 0;
    virtual TIdStackSocketHandle CreateSocket(int family, int type, int protocol) = 0;
    virtual int Shutdown(TIdStackSocketHandle socket, int how) = 0;
    virtual std::string TranslateSocketErrorMsg(int errorCode);
    virtual int GetLastSocketError() = 0;
    virtual int GetPeerName(TIdStackSocketHandle socket, int& family, std::string& address,
                            int& port) = 0;
    virtual int GetSockName(TIdStackSocketHandle socket, int& family, std::string& address,
                            int& port) = 0;
    virtual int GetSockOpt(TIdStackSocketHandle socket, int level, int option, void* value,
                           int& length) = 0;
    virtual std::string InAddrToString(const std::array<uint8_t, 4>& addr) = 0;
    virtual void StringToInAddr(const std::string& text, std::array<uint8_t, 4>& addr) = 0;

    // True when result is -1 with a tolerated code; raises for any other code.
    bool CheckForSocketError(int result, std::initializer_list<int> ignore);
    void CheckForSocketError(int result);
    [[noreturn]] void RaiseSocketError(int errorCode);
    TIdStackSocketHandle CreateSocketHandle(int socketType, int protocol = 0);
    std::string ResolveHost(const std::string& host);
    static bool IsIP(const std::string& text);
    static TIdIPv4Parse ParseIPv4(const std::string& text);
    int64_t ServeFileOnSocket(TIdStackSocketHandle socket, const std::string& fileName);

    // The error of the last failed call this thread examined. Each thread has
    // its own, so a server thread never reports another thread's failure.
    int LastError() const;

protected:
    void SetLastError(int code);
    std::vector<std::string>& LocalAddressList();

private:
    std::unique_ptr<std::vector<std::string>> FLocalAddresses;
};

class TIdStackWindows : public TIdStack {
public:
    TIdStackWindows();

    void PopulateLocalAddresses() override;
    TIdStackSocketHandle Accept(TIdStackSocketHandle socket, std::string& address,
                                int& port) override;
    int Bind(TIdStackSocketHandle socket, int family, const std::string& address,
             int port) override;
    int CloseSocket(TIdStackSocketHandle socket) override;
    int Connect(TIdStackSocketHandle socket, int family, const std::string& address,
                int port) override;
    std::string HostByName(const std::string& hostName) override;
    std::string HostName() override;
    std::string HostByAddress(const std::string& address) override;
    int ServiceByName(const std::string& name) override;
    std::vector<std::string> ServiceByPort(int port) override;
    uint16_t HToNS(uint16_t v) override;
    int Listen(TIdStackSocketHandle socket, int backlog) override;
    uint16_t NToHS(uint16_t v) override;
    uint32_t HToNL(uint32_t v) override;
    uint32_t NToHL(uint32_t v) override;
    int Recv(TIdStackSocketHandle socket, void* buffer, int length, int flags) override;
    int RecvFrom(TIdStackSocketHandle socket, void* buffer, int length, int flags,
                 std::string& address, int& port) override;
    int Select(TIdSocketList* readList, TIdSocketList* writeList, int timeout,
               TIdSocketList* exceptList = nullptr) override;
    int Send(TIdStackSocketHandle socket, const void* buffer, int length, int flags) override;
    int SendTo(TIdStackSocketHandle socket, const void* buffer, int length, int flags,
               const std::string& address, int port) override;
    int SetSockOpt(TIdStackSocketHandle socket, int level, int option, const void* value,
                   int length) override;
    TIdStackSocketHandle CreateSocket(int family, int type, int protocol) override;
    int Shutdown(TIdStackSocketHandle socket, int how) override;
    std::string TranslateSocketErrorMsg(int errorCode) override;
    int GetLastSocketError() override;
    int GetPeerName(TIdStackSocketHandle socket, int& family, std::string& address,
                    int& port) override;
    int GetSockName(TIdStackSocketHandle socket, int& family, std::string& address,
                    int& port) override;
    int GetSockOpt(TIdStackSocketHandle socket, int level, int option, void* value,
                   int& length) override;
    std::string InAddrToString(const std::array<uint8_t, 4>& addr) override;
    void StringToInAddr(const std::string& text, std::array<uint8_t, 4>& addr) override;

private:
    void RaiseLookupError();
    // getsockname or getpeername into the address text and port.
    int SocketName(int (*call)(IdWinsock2::TSocket, sockaddr*, int*), TIdStackSocketHandle socket,
                   int& family, std::string& address, int& port);
};

// The global stack: exists while at least one component exists.
extern TIdStack* GStack;
// Creates the global stack (called under the component lock).
std::unique_ptr<TIdStack> CreateStack();
// True once WSAStartup has succeeded; it stays set for the life of the process.
bool StackStarted();
