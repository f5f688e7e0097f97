#pragma once

#include "netlib/base/ip_base.h"
#include "netlib/base/ip_winsock.h"
#include "platform/gui_message.h"

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <istream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// The library's sockets: plain objects owned by a socket control, each
// wrapping one non-blocking socket whose notifications the control's window
// receives and turns into calls on the socket.
//
// Decisions:
// - A socket is known by its handle, an id of ours given at creation that
//   stays the same for the object's life and is never reused; the
//   descriptor underneath names nothing outside. Every report names that id, the
//   disconnect status too, so a message handled late never reaches another
//   socket that got the same descriptor.
// - A full receive buffer spills into the partial line only when no line
//   terminator is left in it, so lines are never glued together.
// - The SOCKS negotiation collects each reply until its full length has
//   arrived; an unknown method or a refusal is reported and closes the
//   socket; the destination address stays the socket's remote address; data
//   the application queues meanwhile waits until the negotiation is done.
// - Telnet: in binary mode every byte passes; otherwise CR NUL becomes CR and
//   CR LF and other pairs pass whole. WILL NAWS goes out before the window
//   size. A subnegotiation longer than 4096 bytes is dropped.
// - Streams are std::istream (sending) and std::ostream (rmStream).
// - A receive or send buffer size only ever enlarges the stack's buffer:
//   Linux stops tuning a buffer whose size is set, and the defaults' 4096
//   bytes would hold a connection to a few tens of KB/s.

class TIpSockControl;

// A small set of enumeration values.
template <typename E> class TIpSet {
public:
    TIpSet() = default;
    TIpSet(std::initializer_list<E> values)
    {
        for (E v : values)
            Include(v);
    }
    bool Has(E v) const { return (FBits >> static_cast<unsigned>(v)) & 1u; }
    void Include(E v) { FBits |= 1u << static_cast<unsigned>(v); }
    void Exclude(E v) { FBits &= ~(1u << static_cast<unsigned>(v)); }
    bool operator==(const TIpSet& other) const = default;

private:
    uint32_t FBits = 0;
};

enum TIpSocksVersion { svSocks4, svSocks4a, svSocks5 };
enum TIpSockOptions {
    soBroadcast,
    soDebug,
    soDiscardReceived,
    soDontRoute,
    soEchoReceived,
    soEchoSent,
    soKeepAlive,
    soNoDelay,
    soReuseAddr,
    soStripHighBit,
    soTelnet
};
using TIpSockOptionSet = TIpSet<TIpSockOptions>;
enum TIpLineTerminator { ltNone, ltCR, ltLF, ltCRLF, ltOther };
enum TIpLogOptions { loHighData, loLowData, loTelnet };
using TIpLogOptionSet = TIpSet<TIpLogOptions>;
enum TIpReceiveMode { rmLine, rmStream, rmAny };
enum TIpStatusType { stConnect, stDisconnect, stProgress };
using TIpStatusSet = TIpSet<TIpStatusType>;

// Debug-log entry types of the sockets.
inline constexpr uint32_t dtHighRead = 0x80000001u;
inline constexpr uint32_t dtHighWrite = 0x80000002u;
inline constexpr uint32_t dtLowRecv = 0x80000003u;
inline constexpr uint32_t dtLowSend = 0x80000004u;

// Messages of the control's window and of attached terminals.
inline constexpr uint32_t CM_IPASYNCRESULT = 0x1290;
inline constexpr uint32_t CM_IPSOCKMESSAGE = 0x1291;
inline constexpr uint32_t CM_IPSOCKETSTATUS = 0x1292;
inline constexpr uint32_t CM_IPFREESOCKET = 0x1293;
inline constexpr uint32_t CM_IPLINEMESSAGE = 0x1294;
inline constexpr uint32_t CM_IPTERMDATA = 0x1295;
inline constexpr uint32_t CM_IPTERMRESIZE = 0x1296;

// CM_IPTERMDATA's WParam: the received bytes, now the receiving terminal's
// (freed with the message when the terminal is gone before it is handled).
inline std::unique_ptr<std::string> IpTakeTermData(uintptr_t wParam)
{
    return std::unique_ptr<std::string>(reinterpret_cast<std::string*>(wParam));
}

// What the telnet layer asks of the terminal that a socket reports for.
class TIpTelnetTerminal {
public:
    virtual ~TIpTelnetTerminal() = default;
    // The terminal type name ("VT100" ...).
    virtual std::string TelnetTermType() const = 0;
    // Columns high, columns low, rows high, rows low.
    virtual std::array<uint8_t, 4> TelnetTermSize() const = 0;
};

class TIpSocksServerInfo : public TIpBasePersistent {
public:
    std::string Address() const;
    void SetAddress(const std::string& value);
    std::string Password() const;
    void SetPassword(const std::string& value);
    uint16_t Port() const;
    void SetPort(uint16_t value);
    TIpSocksVersion SocksVersion() const;
    void SetSocksVersion(TIpSocksVersion value);
    std::string UserCode() const;
    void SetUserCode(const std::string& value);
    void Assign(const TIpSocksServerInfo& source);

private:
    std::string FAddress;
    std::string FPassword;
    uint16_t FPort = 1080;
    TIpSocksVersion FSocksVersion = svSocks4;
    std::string FUserCode;
};

struct TIpBaseInits {
    virtual ~TIpBaseInits() = default;
    TIpSockOptionSet SocketOptions;
};

struct TIpDataInits : TIpBaseInits {
    uint32_t FixedLineLength = 80;
    uint32_t IdleTimeout = 0;
    char LineTermChar = '\n';
    TIpLineTerminator LineTerminator = ltCRLF;
    TIpLogOptionSet LogOptions{loHighData, loTelnet};
    int32_t ReceiveBufferSize = 4096;
    TIpReceiveMode ReceiveMode = rmLine;
    int32_t SendBufferSize = 4096;
    bool StripLineTerminator = false;
};

struct TIpSockStatRec {
    uint32_t DataReceived = 0;
    uint32_t DataSent = 0;
    uint32_t StackReceived = 0;
    uint32_t StackSent = 0;
    uint32_t ConnDataReceived = 0;
    uint32_t ConnDataSent = 0;
    uint32_t ConnStackReceived = 0;
    uint32_t ConnStackSent = 0;
};

struct TIpConnRec {
    uint32_t RemoteAddress = 0; // network order
    uint16_t RemotePort = 0;    // host order
    uint32_t LocalAddress = 0;
    uint16_t LocalPort = 0;
};

// The all-zero AF_INET address (port 0, any address).
sockaddr_in IpAnyAddress();

class TIpBaseSocket {
public:
    // socket = INVALID_SOCKET makes a new socket; any other value adopts an
    // accepted one. Raises EIpWinSockError when the stack refuses.
    TIpBaseSocket(TIpSockControl* owner, IpWs::TSocket socket, const sockaddr_in& localAddr,
                  const TIpBaseInits* inits, const TIpSocksServerInfo* socksInfo,
                  uint32_t asyncMask = FdBaseMask);
    virtual ~TIpBaseSocket();
    TIpBaseSocket(const TIpBaseSocket&) = delete;
    TIpBaseSocket& operator=(const TIpBaseSocket&) = delete;

    static constexpr uint32_t FdBaseMask = 0x30;

    // The socket's id; stays the same after the socket is closed.
    uint32_t Handle() const { return FHandle; }
    // The descriptor underneath, for the controls' own calls on it.
    IpWs::TSocket Descriptor() const { return FSocket; }
    bool HasSocket() const;
    bool Connected() const;
    // Raise EIpNotConnectedError while the socket is not connected.
    uint32_t GetLocalAddress() const;
    uint16_t GetLocalPort() const;
    uint32_t GetRemoteAddress() const;
    uint16_t GetRemotePort() const;
    std::string GetURL() const;
    TIpSockOptionSet GetSocketOptions() const;
    void SetSocketOptions(const TIpSockOptionSet& options);
    void LockSock() const { FLock.lock(); }
    void UnlockSock() const { FLock.unlock(); }
    int bsGetLastError() const;
    TIpConnRec ConnRec() const;
    uint8_t SocksState() const;

    virtual void bsHandleSocksConnect() {}
    virtual void bsSetAsyncOptions();
    virtual void bsAccept() {}
    virtual void bsClose();
    virtual void bsConnect();
    virtual void bsOob() {}
    virtual void bsRead() {}
    virtual void bsTimer(uint32_t /*elapsed*/) {}
    virtual void bsWrite() {}
    virtual void bsCloseSocket();
    virtual void bsConnectSocket(const sockaddr_in& addr, const std::string& url);

protected:
    std::unique_lock<std::recursive_mutex> Guard() const
    {
        return std::unique_lock<std::recursive_mutex>(FLock);
    }
    TIpWinSockAccess& WinSock() const;
    int Fd() const;

    TIpSockControl* FOwner;
    uint32_t FHandle;
    IpWs::TSocket FSocket = 0xFFFFFFFFu;
    bool FConnected = false;
    std::string FURL;
    bool FDiscardReceived = false;
    bool FEchoReceived = false;
    bool FEchoSent = false;
    bool FStripHighBit = false;
    bool FTelnet = false;
    sockaddr_in FLocalAddr{};
    sockaddr_in FRemoteAddr{};
    TIpSocksServerInfo FSocksServer;
    uint8_t FSocksState = 0;
    int FSocketType = 1;
    uint32_t FAsyncMask;

private:
    mutable std::recursive_mutex FLock;
};

class TIpDataSocket : public TIpBaseSocket {
public:
    static constexpr uint32_t FdDataMask = 0x33;
    static constexpr uint32_t InputBufferSize = 8192;
    static constexpr size_t MaxLineBuf = 1048576;
    static constexpr size_t MaxSubnegotiation = 4096;

    TIpDataSocket(TIpSockControl* owner, IpWs::TSocket socket, const sockaddr_in& localAddr,
                  const TIpBaseInits* inits, const TIpSocksServerInfo* socksInfo);
    ~TIpDataSocket() override;

    // Queue data; the result is the item's queue handle, or 0 when it went
    // out at once.
    uint32_t PutBlock(const void* data, uint32_t size, bool closeWhenDone);
    uint32_t PutString(const std::string& s, bool closeWhenDone);
    uint32_t PutStream(std::istream* stream, bool closeWhenDone);
    void ResetStats();
    void StatusSnapshot(TIpSockStatRec& rec) const;

    uint32_t FixedLineLength() const;
    void SetFixedLineLength(uint32_t value);
    uint32_t IdleTime() const;
    uint32_t IdleTimeout() const;
    void SetIdleTimeout(uint32_t value);
    char LineTermChar() const;
    void SetLineTermChar(char value);
    TIpLineTerminator LineTerminator() const;
    void SetLineTerminator(TIpLineTerminator value);
    TIpLogOptionSet LogOptions() const;
    void SetLogOptions(const TIpLogOptionSet& value);
    TIpTelnetTerminal* MasterTerminal() const;
    void SetMasterTerminal(TIpTelnetTerminal* value);
    TIpReceiveMode ReceiveMode() const;
    void SetReceiveMode(TIpReceiveMode value);
    std::ostream* ReceiveStream() const;
    void SetReceiveStream(std::ostream* value);
    bool StripLineTerminator() const;
    void SetStripLineTerminator(bool value);
    int32_t GetReceiveBufferSize() const;
    void SetReceiveBufferSize(int32_t size);
    int32_t GetSendBufferSize() const;
    void SetSendBufferSize(int32_t size);

    // Attached terminal windows get CM_IPTERMDATA with every received byte.
    void dsAttachTerminal(const TGuiTarget& wnd);
    void dsDetachTerminal(const TGuiTarget& wnd);

    // The one entry to the send queue; raw bytes are never telnet-escaped.
    virtual uint32_t dsPutData(const void* data, uint32_t size, std::istream* stream,
                               bool closeWhenDone, bool internal, bool raw);
    virtual void dsIdleTimeout();
    virtual void dsHandleSubnegotiation(std::string_view data);
    virtual bool dsHandleTelnet(uint8_t command, uint8_t option);

    // Telnet layer.
    static std::string dsTelnetSnd(std::string_view source);
    uint32_t dsTelnetRcv(uint8_t* data, uint32_t count);
    void dsSendTelnet(uint8_t command, uint8_t option);
    void dsEnableTelnetHostOption(uint8_t option);
    void dsSendTelnetStatus();
    void dsSendTerminal();
    void dsSendTerminalSize();

    // SOCKS layer: takes the reply bytes at the start of `data`, returns
    // how many bytes follow them.
    uint32_t dsSocksRcv(uint8_t* data, uint32_t count);

    void bsHandleSocksConnect() override;
    void bsClose() override;
    void bsRead() override;
    void bsTimer(uint32_t elapsed) override;
    void bsWrite() override;
    void bsCloseSocket() override;
    void bsConnectSocket(const sockaddr_in& addr, const std::string& url) override;

private:
    struct TSendQueueItem {
        uint32_t Handle = 0;
        std::istream* Stream = nullptr;
        std::string Buffer;
        size_t Position = 0;
        uint32_t DataSize = 0;
        bool CloseWhenDone = false;
        bool Internal = false;
    };

    uint32_t dsReadData(bool closing);
    bool dsCheckRead();
    bool dsExtractLine(bool flush);
    void dsRefreshQueueItemBuffer(TSendQueueItem& item);
    bool dsSendQueueItem(TSendQueueItem& item);
    bool dsCheckSendQueue();
    void dsIncIdleTime(uint32_t elapsed);
    void ItemDone(bool closeWhenDone);
    void SendInternal(const std::string& bytes);
    void SocksRefused(int code);
    void LogData(uint32_t type, const void* data, uint32_t size);
    // SOCKS still negotiating (or refused, waiting to be freed): no data
    // passes either way.
    bool SocksPending() const { return FSocksState >= 1 && FSocksState != 5; }
    static constexpr uint8_t SocksRefusedState = 0xFF;

    uint32_t FFixedLineLength = 80;
    uint32_t FIdleTime = 0;
    uint32_t FIdleTimeout = 0;
    char FLineTermChar = '\n';
    TIpLineTerminator FLineTerminator = ltCRLF;
    TIpLogOptionSet FLogOptions{loHighData, loTelnet};
    TIpTelnetTerminal* FMasterTerminal = nullptr;
    TIpReceiveMode FReceiveMode = rmLine;
    std::ostream* FReceiveStream = nullptr;
    bool FStripLineTerminator = false;
    uint8_t FInBuf[InputBufferSize];
    uint32_t FReadIndex = 0;
    uint32_t FFillIndex = 0;
    std::string FPartialLine;
    std::deque<TSendQueueItem> FQueue;
    TIpSockStatRec FStats;
    bool FActivity = false;
    std::string FTelnetCarry;
    bool FTelnetLastCR = false;
    bool FTelnetSkipping = false;
    std::string FSocksCarry;
    std::vector<TGuiTarget> FTerminals;
    uint32_t FLastQueueHandle = 0;
    bool FCanWrite = false;
    std::array<bool, 256> FOffered{};
    std::array<bool, 256> FPerforming{};
    std::array<bool, 256> FAccepted{};
    std::array<bool, 256> FPeerPerforming{};
};

class TIpListenSocket : public TIpBaseSocket {
public:
    static constexpr uint32_t FdListenMask = 0x2B;

    TIpListenSocket(TIpSockControl* owner, IpWs::TSocket socket, const sockaddr_in& localAddr,
                    const TIpBaseInits* inits, const TIpSocksServerInfo* socksInfo);
};
