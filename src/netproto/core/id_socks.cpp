#include "netproto/core/id_socks.h"

#include "netproto/core/id_iohandler.h"
#include "netproto/core/id_stack.h"

void TIdSocksInfo::Assign(const TIdSocksInfo& source)
{
    Authentication = source.Authentication;
    Host = source.Host;
    Password = source.Password;
    Port = source.Port;
    Username = source.Username;
    Version = source.Version;
}

void TIdSocksInfo::MakeSocksConnection(const std::string& host, int port)
{
    switch (Version) {
    case svSocks4:
    case svSocks4A:
        MakeSocks4Connection(host, port);
        break;
    case svSocks5:
        MakeSocks5Connection(host, port);
        break;
    default:
        break;
    }
}

void TIdSocksInfo::SendAll(const std::string& data)
{
    size_t pos = 0;
    while (pos < data.size()) {
        int n = IOHandler->Send(data.data() + pos, static_cast<int>(data.size() - pos));
        if (n < 0)
            GStack->CheckForSocketError(n);
        if (n == 0)
            throw EIdConnClosedGracefully();
        pos += static_cast<size_t>(n);
    }
}

std::string TIdSocksInfo::RecvExact(int count)
{
    std::string out(static_cast<size_t>(count), '\0');
    int got = 0;
    while (got < count) {
        int n = IOHandler->Recv(out.data() + got, count - got);
        if (n == 0)
            throw EIdSocksServerRespondError("Socks server closed the connection.");
        if (n < 0)
            GStack->CheckForSocketError(n);
        got += n;
    }
    return out;
}

void TIdSocksInfo::MakeSocks4Connection(const std::string& host, int port)
{
    std::string req;
    req += char(4);
    req += char(1);
    req += char((port >> 8) & 0xFF);
    req += char(port & 0xFF);
    if (Version == svSocks4) {
        std::array<uint8_t, 4> a{};
        GStack->StringToInAddr(GStack->ResolveHost(host), a);
        req.append(reinterpret_cast<const char*>(a.data()), 4);
    } else {
        if (host.size() > 255)
            throw EIdSocksError("Host name too long for the proxy.");
        req.append("\0\0\0\1", 4);
    }
    req += Username.substr(0, 255);
    req += '\0';
    if (Version == svSocks4A) {
        req += host;
        req += '\0';
    }
    SendAll(req);
    std::string reply = RecvExact(8);
    switch (static_cast<uint8_t>(reply[1])) {
    case 90:
        return;
    case 91:
        throw EIdSocksRequestFailed("Request rejected or failed.");
    case 92:
        throw EIdSocksRequestServerFailed("Request rejected because SOCKS server cannot connect.");
    case 93:
        throw EIdSocksRequestIdentFailed(
            "Request rejected because the client program and identd report different user-ids.");
    default:
        throw EIdSocksUnknownError("Unknown socks error.");
    }
}

void TIdSocksInfo::MakeSocks5Connection(const std::string& host, int port)
{
    // Length bytes carry at most 255; a longer name would be cut and sent
    // as a different request.
    if (host.size() > 255)
        throw EIdSocksError("Host name too long for the proxy.");
    const bool auth = Authentication == saUsernamePassword;
    if (auth && (Username.size() > 255 || Password.size() > 255))
        throw EIdSocksAuthError("Authentication error to socks server.");

    std::string greet;
    greet += char(5);
    greet += char(1);
    greet += char(auth ? 2 : 0);
    SendAll(greet);
    std::string r = RecvExact(2);
    const uint8_t method = static_cast<uint8_t>(r[1]);
    if (method == 0xFF || method != (auth ? 2 : 0))
        throw EIdSocksAuthMethodError("Invalid socks authentication method.");

    if (auth) {
        std::string a;
        a += char(1);
        a += char(Username.size());
        a += Username;
        a += char(Password.size());
        a += Password;
        SendAll(a);
        r = RecvExact(2);
        if (r[1] != 0)
            throw EIdSocksAuthError("Authentication error to socks server.");
    }

    std::string req;
    req += char(5);
    req += char(1);
    req += char(0);
    req += char(3);
    req += char(host.size());
    req += host;
    req += char((port >> 8) & 0xFF);
    req += char(port & 0xFF);
    SendAll(req);

    r = RecvExact(5);
    switch (static_cast<uint8_t>(r[1])) {
    case 0:
        break;
    case 1:
        throw EIdSocksServerGeneralError("General SOCKS server failure.");
    case 2:
        throw EIdSocksServerPermissionError("Connection not allowed by ruleset.");
    case 3:
        throw EIdSocksServerNetUnreachableError("Network unreachable.");
    case 4:
        throw EIdSocksServerHostUnreachableError("Host unreachable.");
    case 5:
        throw EIdSocksServerConnectionRefusedError("Connection refused.");
    case 6:
        throw EIdSocksServerTTLExpiredError("TTL expired.");
    case 7:
        throw EIdSocksServerCommandError("Command not supported.");
    case 8:
        throw EIdSocksServerAddressError("Address type not supported.");
    default:
        throw EIdSocksUnknownError("Unknown socks error.");
    }
    // The rest of the bound address: the fifth byte was its first.
    switch (static_cast<uint8_t>(r[3])) {
    case 1:
        RecvExact(4 - 1 + 2);
        break;
    case 3:
        // The fifth byte is the name's length: the name and the port follow.
        RecvExact(static_cast<uint8_t>(r[4]) + 2);
        break;
    case 4:
        RecvExact(16 - 1 + 2);
        break;
    default:
        throw EIdSocksServerAddressError("Address type not supported.");
    }
}
