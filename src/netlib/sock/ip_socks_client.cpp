// SOCKS negotiation of a data socket: version 4 (and 4a, sent alike) or 5,
// CONNECT over IPv4 only. Replies are collected until their full length has
// arrived; bytes after the last reply are the application's.
#include "netlib/base/ip_const.h"
#include "netlib/sock/ip_sock_control.h"
#include "netlib/sock/ip_socket.h"

#include <cstring>

namespace {

std::string Destination(const sockaddr_in& addr, bool portFirst)
{
    std::string port(reinterpret_cast<const char*>(&addr.sin_port), 2);
    std::string address(reinterpret_cast<const char*>(&addr.sin_addr.s_addr), 4);
    return portFirst ? port + address : address + port;
}

std::string Counted(const std::string& s)
{
    const std::string cut = s.substr(0, 255);
    return std::string(1, static_cast<char>(cut.size())) + cut;
}

} // namespace

void TIpDataSocket::bsHandleSocksConnect()
{
    auto guard = Guard();
    FSocksCarry.clear();
    if (FSocksServer.SocksVersion() == svSocks5) {
        SendInternal(std::string("\x05\x02\x00\x02", 4));
        return;
    }
    SendInternal(std::string("\x04\x01", 2) + Destination(FRemoteAddr, true) +
                 FSocksServer.UserCode() + std::string(1, '\0'));
}

void TIpDataSocket::SocksRefused(int code)
{
    FOwner->DoError(FHandle, code, IpFormat(IpConst::SSocksErr, {code}));
    // Closed and freed through the window, once this read is over.
    FSocksState = SocksRefusedState;
    FOwner->Window().Post(CM_IPFREESOCKET, FHandle, 0);
}

uint32_t TIpDataSocket::dsSocksRcv(uint8_t* data, uint32_t count)
{
    auto guard = Guard();
    if (FSocksState == SocksRefusedState)
        return 0;
    FSocksCarry.append(reinterpret_cast<const char*>(data), count);
    const bool v5 = FSocksServer.SocksVersion() == svSocks5;
    auto byteAt = [&](size_t i) { return static_cast<uint8_t>(FSocksCarry[i]); };
    for (;;) {
        if (!SocksPending())
            break;
        size_t need;
        if (!v5)
            need = 8;
        else if (FSocksState == 2 || FSocksState == 3)
            need = 2;
        else {
            // Connect reply: its bound address is as long as its type says.
            if (FSocksCarry.size() < 5)
                return 0;
            const uint8_t type = byteAt(3);
            need = 4 + (type == 3 ? 1 + byteAt(4) : type == 4 ? 16 : 4) + 2;
        }
        if (FSocksCarry.size() < need)
            return 0;
        const uint8_t code = byteAt(1);
        FSocksCarry.erase(0, need);
        if (!v5 || FSocksState == 4) {
            const bool granted = v5 ? code == 0 : code == 0x5A;
            if (!granted) {
                SocksRefused(code);
                break;
            }
            // The destination stays the remote address: the server's bound
            // address is its own end, not the peer's.
            FSocksState = 5;
            bsConnect();
            break;
        }
        if (FSocksState == 3) {
            if (code != 0) {
                SocksRefused(code);
                break;
            }
        } else if (code == 0x02) {
            SendInternal(std::string("\x01", 1) + Counted(FSocksServer.UserCode()) +
                         Counted(FSocksServer.Password()));
            FSocksState = 3;
            continue;
        } else if (code != 0x00) {
            SocksRefused(code);
            break;
        }
        SendInternal(std::string("\x05\x01\x00\x01", 4) + Destination(FRemoteAddr, false));
        FSocksState = 4;
    }
    if (FSocksState != 5) {
        FSocksCarry.clear();
        return 0;
    }
    // What followed the last reply is data; it is never more than this read.
    const auto rest = static_cast<uint32_t>(FSocksCarry.size());
    std::memcpy(data, FSocksCarry.data(), rest);
    FSocksCarry.clear();
    // Data queued while the negotiation ran goes out now.
    while (dsCheckSendQueue()) {
    }
    return rest;
}
