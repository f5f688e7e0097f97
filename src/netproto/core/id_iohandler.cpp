#include "netproto/core/id_iohandler.h"

#include "netproto/core/id_thread.h"

#include <cerrno>

// ---- TIdIOHandler -----------------------------------------------------------

TIdIOHandler::~TIdIOHandler()
{
    FActive = false;
}

void TIdIOHandler::Close()
{
    FActive = false;
}

void TIdIOHandler::ConnectClient(const std::string&, int, const std::string&, int, int, int, int) {}

bool TIdIOHandler::Connected()
{
    return FActive;
}

void TIdIOHandler::Open()
{
    FActive = true;
}

bool TIdIOHandler::ReceiveWithin(void* buffer, int length, int timeout, int& count)
{
    if (!Readable(timeout))
        return false;
    count = Recv(buffer, length);
    return true;
}

// ---- TIdIOHandlerSocket -----------------------------------------------------

TIdIOHandlerSocket::~TIdIOHandlerSocket()
{
    Close();
}

void TIdIOHandlerSocket::Open()
{
    TIdIOHandler::Open();
    if (FBinding) {
        FBinding->CloseSocket();
        FBinding->Reset(true);
    } else {
        FBinding = std::make_unique<TIdSocketHandle>();
    }
}

void TIdIOHandlerSocket::Close()
{
    TIdIOHandler::Close();
    if (FBinding)
        FBinding->CloseSocket();
}

bool TIdIOHandlerSocket::Connected()
{
    return FBinding && FBinding->HandleAllocated();
}

bool TIdIOHandlerSocket::Readable(int timeout)
{
    if (!FBinding)
        throw EIdConnClosedGracefully();
    return FBinding->Readable(timeout);
}

int TIdIOHandlerSocket::Recv(void* buffer, int length)
{
    if (!Connected())
        throw EIdClosedSocket("Disconnected.");
    return FBinding->Recv(buffer, length, 0);
}

bool TIdIOHandlerSocket::ReceiveWithin(void* buffer, int length, int timeout, int& count)
{
    if (!FBinding)
        throw EIdConnClosedGracefully();
    return FBinding->ReceiveWithin(buffer, length, timeout, count);
}

int TIdIOHandlerSocket::Unsent()
{
    uint32_t n = 0;
    if (!Connected() ||
        IdWinsock2::ioctlsocket(FBinding->Handle(), IdWinsock2::WS_SIOCOUTQ, &n) != 0)
        return 0;
    return static_cast<int>(n);
}

int TIdIOHandlerSocket::Send(const void* buffer, int length)
{
    if (!Connected())
        throw EIdClosedSocket("Disconnected.");
    return FBinding->Send(buffer, length, 0);
}

void TIdIOHandlerSocket::SetUseNagle(bool value)
{
    FUseNagle = value;
    if (Connected())
        ApplyNagle();
}

void TIdIOHandlerSocket::ApplyNagle()
{
    int v = FUseNagle ? 0 : 1;
    FBinding->SetSockOpt(Id_IPPROTO_TCP, Id_TCP_NODELAY, &v, sizeof v);
}

TIdSocksInfo& TIdIOHandlerSocket::SocksInfo()
{
    if (!FSocksInfo)
        FSocksInfo = std::make_unique<TIdSocksInfo>();
    FSocksInfo->IOHandler = this;
    return *FSocksInfo;
}

void TIdIOHandlerSocket::SetSocksInfo(const TIdSocksInfo& info)
{
    SocksInfo().Assign(info);
}

void TIdIOHandlerSocket::ConnectClient(const std::string& host, int port,
                                       const std::string& boundIP, int boundPort, int boundPortMin,
                                       int boundPortMax, int timeout)
{
    TIdSocksInfo& socks = SocksInfo();
    const bool viaProxy = socks.Version != svNoSocks;
    const std::string target = viaProxy ? socks.Host : host;
    const int targetPort = viaProxy ? socks.Port : port;

    // A failed connect leaves the handler closed, so the next Connect starts
    // afresh instead of finding a half-made socket "already connected".
    try {
        FBinding->AllocateSocket(Id_SOCK_STREAM, 0);
        FBinding->IP = boundIP;
        FBinding->Port = boundPort;
        FBinding->ClientPortMin = boundPortMin;
        FBinding->ClientPortMax = boundPortMax;
        FBinding->Bind();

        if (!TIdStack::IsIP(target))
            DoStatus(hsResolving, target);
        FBinding->SetPeer(GStack->ResolveHost(target), targetPort);
        ApplyNagle();
        DoStatus(hsConnecting, FBinding->PeerIP);

        if (timeout != -1 && timeout != 0) {
            ConnectPolled(timeout);
        } else if (!TIdAntiFreezeBase::ShouldUse()) {
            GStack->CheckForSocketError(FBinding->Connect(Id_PF_INET));
        } else {
            ConnectPolled(120000);
        }
        socks.MakeSocksConnection(host, port);
    } catch (...) {
        Close();
        throw;
    }
}

void TIdIOHandlerSocket::ConnectPolled(int timeout)
{
    int step = 125;
    if (TIdAntiFreezeBase::ShouldUse() && TIdAntiFreezeBase::Instance()->IdleTimeOut < step)
        step = TIdAntiFreezeBase::Instance()->IdleTimeOut;
    if (step < 1)
        step = 1;

    const TIdStackSocketHandle h = FBinding->Handle();
    uint32_t on = 1;
    GStack->CheckForSocketError(IdWinsock2::ioctlsocket(h, IdWinsock2::WS_FIONBIO, &on));
    const int rc = FBinding->Connect(Id_PF_INET);
    if (rc == Id_SOCKET_ERROR) {
        GStack->CheckForSocketError(rc, {Id_WSAEWOULDBLOCK});
        const uint32_t start = IdGetTickCount();
        bool done = false;
        while (!done) {
            int wait = step;
            if (timeout != -2) {
                const uint32_t elapsed = IdGetTickCount() - start;
                if (elapsed >= static_cast<uint32_t>(timeout))
                    break;
                const int left = timeout - static_cast<int>(elapsed);
                wait = left < step ? left : step;
            }
            TIdSocketListWindows writable;
            TIdSocketListWindows failed;
            writable.Add(h);
            failed.Add(h);
            const int n = GStack->Select(nullptr, &writable, wait, &failed);
            GStack->CheckForSocketError(n);
            done = n > 0;
            TIdAntiFreezeBase::DoProcess(true);
        }
        if (!done) {
            Close();
            throw EIdConnectTimeout("Connect timed out.");
        }
        int err = 0;
        int len = sizeof err;
        GStack->GetSockOpt(h, IdWinsock2::WS_SOL_SOCKET, IdWinsock2::WS_SO_ERROR, &err, len);
        if (err != 0) {
            const int code = IdWinsock2::ErrnoToWSAError(err);
            throw EIdSocketError(code, GStack->TranslateSocketErrorMsg(code));
        }
        FBinding->UpdateBindingLocal();
        FBinding->UpdateBindingPeer();
    }
    uint32_t off = 0;
    GStack->CheckForSocketError(IdWinsock2::ioctlsocket(h, IdWinsock2::WS_FIONBIO, &off));
}

// ---- server handlers --------------------------------------------------------

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::Accept(TIdStackSocketHandle, TIdThread*)
{
    return nullptr;
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::Accept(TIdStackSocketHandle listenSocket,
                                                               TIdThread* listenerThread)
{
    auto handler = std::make_unique<TIdIOHandlerSocket>();
    handler->Open();
    if (listenerThread) {
        for (;;) {
            if (listenerThread->Stopped())
                return nullptr;
            if (TIdSocketHandle::SelectOne(listenSocket, 100))
                break;
        }
    }
    if (handler->Binding()->Accept(listenSocket))
        return handler;
    return nullptr;
}
