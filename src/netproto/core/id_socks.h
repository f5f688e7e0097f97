// Settings of an optional SOCKS proxy and the proxy handshake (SOCKS 4, 4A
// and 5 with user name and password).
#pragma once

#include "netproto/core/id_component.h"

#include <cstdint>
#include <string>

enum TSocksAuthentication { saNoAuthentication = 0, saUsernamePassword = 1 };
enum TSocksVersion { svNoSocks = 0, svSocks4 = 1, svSocks4A = 2, svSocks5 = 3 };

class TIdIOHandler;

class TIdSocksInfo : public TIdComponent {
public:
    TIdSocksInfo() = default;
    // Copies the six settings.
    void Assign(const TIdSocksInfo& source);

    // Runs the handshake on the already connected proxy connection.
    void MakeSocksConnection(const std::string& host, int port);

    TSocksAuthentication Authentication = saNoAuthentication;
    std::string Host;
    std::string Password;
    int Port = 1080;
    std::string Username;
    TSocksVersion Version = svNoSocks;

    // The handler whose Send and Recv carry the handshake.
    TIdIOHandler* IOHandler = nullptr;

private:
    void MakeSocks4Connection(const std::string& host, int port);
    void MakeSocks5Connection(const std::string& host, int port);
    void SendAll(const std::string& data);
    // Reads exactly count bytes: a reply split across segments is collected.
    std::string RecvExact(int count);
};
