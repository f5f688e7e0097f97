#include "netproto/protocols/id_tcp_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

bool SameAsciiText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z')
            x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z')
            y = static_cast<unsigned char>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

std::string IdFormat(const std::string& fmt, const std::string& arg)
{
    std::string out;
    out.reserve(fmt.size() + arg.size());
    bool filled = false;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] == '%' && i + 1 < fmt.size()) {
            if (fmt[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (fmt[i + 1] == 's' && !filled) {
                out += arg;
                filled = true;
                ++i;
                continue;
            }
        }
        out += fmt[i];
    }
    return out;
}

// ---- TIdTCPServerConnection ---------------------------------------------------

void TIdTCPServerConnection::Disconnect()
{
    std::lock_guard<std::recursive_mutex> lock(FCloseLock);
    TIdTCPConnection::Disconnect();
}

void TIdTCPServerConnection::DisconnectSocket()
{
    std::lock_guard<std::recursive_mutex> lock(FCloseLock);
    TIdTCPConnection::DisconnectSocket();
}

void TIdTCPServerConnection::Interrupt()
{
    std::lock_guard<std::recursive_mutex> lock(FCloseLock);
    if (TIdIOHandlerSocket* handler = Socket())
        if (TIdSocketHandle* binding = handler->Binding())
            binding->Interrupt();
}

// ---- TIdCommand -----------------------------------------------------------------

TIdCommand::TIdCommand(TIdCommandHandler* handler, TIdPeerThread* thread, std::string rawLine,
                       std::string unparsedParams)
    : FCommandHandler(handler), FThread(thread), FRawLine(std::move(rawLine)),
      FUnparsedParams(std::move(unparsedParams))
{
}

void TIdCommand::DoCommand()
{
    if (FCommandHandler->OnCommand)
        FCommandHandler->OnCommand(*this);
}

TIdTCPServerConnection& TIdCommand::Connection() const
{
    return *FThread->Connection();
}

void TIdCommand::SendReply()
{
    PerformReply = false;
    FCommandHandler->Collection()->Server()->ReplyTexts.UpdateText(Reply);
    if (Reply.ReplyExists())
        Connection().WriteRFCReply(Reply);
}

// ---- TIdCommandHandler ----------------------------------------------------------

TIdCommandHandler::TIdCommandHandler(TIdCommandHandlers* collection, int id)
    : Name("TIdCommandHandler" + std::to_string(id)), FCollection(collection)
{
}

bool TIdCommandHandler::Check(const std::string& data, TIdPeerThread* thread)
{
    const size_t n = Command.size();
    std::string unparsed;
    bool match = SameAsciiText(data, Command);
    if (!match) {
        if (CmdDelimiter != '\0') {
            if (data.size() > n && data[n] == CmdDelimiter &&
                SameAsciiText(std::string_view(data).substr(0, n), Command)) {
                match = true;
                unparsed = data.substr(n + 1);
            }
        } else if (data.size() >= n &&
                   SameAsciiText(std::string_view(data).substr(0, n), Command)) {
            match = true;
            unparsed = data.substr(n);
        }
    }
    if (!match)
        return false;

    TIdCommand command(this, thread, data, unparsed);
    if (ParseParams) {
        if (ParamDelimiter == ' ') {
            size_t start = 0;
            while (start <= unparsed.size()) {
                size_t p = unparsed.find(' ', start);
                if (p == std::string::npos)
                    p = unparsed.size();
                if (p > start)
                    command.Params.push_back(unparsed.substr(start, p - start));
                start = p + 1;
            }
        } else {
            const std::string text(TrimBlanks(unparsed));
            size_t start = 0;
            while (start <= text.size()) {
                size_t p = text.find(ParamDelimiter, start);
                if (p == std::string::npos)
                    p = text.size();
                std::string param(TrimBlanks(std::string_view(text).substr(start, p - start)));
                if (!param.empty())
                    command.Params.push_back(param);
                start = p + 1;
            }
        }
    }
    command.PerformReply = true;
    command.Reply = ReplyNormal;

    TIdTCPServerConnection& connection = command.Connection();
    try {
        command.DoCommand();
        if (command.PerformReply)
            command.SendReply();
        if (!command.Response.empty())
            connection.WriteRFCStrings(command.Response);
        else if (!Response.empty())
            connection.WriteRFCStrings(Response);
    } catch (const std::exception& e) {
        bool handled = false;
        if (command.PerformReply) {
            int32_t code = ReplyExceptionCode;
            if (code <= 0)
                code = FCollection->Server()->ReplyExceptionCode;
            if (code > 0) {
                command.Reply.SetReply(code, e.what());
                command.SendReply();
                handled = true;
            }
        }
        if (!handled) {
            if (Disconnect)
                connection.Disconnect();
            throw;
        }
    }
    if (Disconnect)
        connection.Disconnect();
    return true;
}

TIdCommandHandler& TIdCommandHandlers::Add()
{
    FItems.push_back(std::make_unique<TIdCommandHandler>(this, FNextID++));
    return *FItems.back();
}

// ---- TIdPeerThread -----------------------------------------------------------------

TIdPeerThread::TIdPeerThread() : TIdThread(true) {}

TIdPeerThread::~TIdPeerThread() = default;

std::unique_ptr<TIdTCPServerConnection> TIdPeerThread::TakeConnection()
{
    if (!FServer)
        return std::move(FConnection);
    std::lock_guard<std::recursive_mutex> lock(FServer->FThreadsLock);
    return std::move(FConnection);
}

void TIdPeerThread::SetConnection(std::unique_ptr<TIdTCPServerConnection> connection)
{
    FServer = connection ? connection->Server() : nullptr;
    FConnection = std::move(connection);
}

TIdTCPServer* TIdPeerThread::Server() const
{
    return FServer;
}

void TIdPeerThread::BeforeRun()
{
    TIdTCPServerConnection* connection = FConnection.get();
    if (!connection || !connection->IOHandler())
        throw EIdTCPServerError("The connection has no I/O handler.");
    connection->IOHandler()->AfterAccept();
    if (FServer->Intercept) {
        connection->Intercept = FServer->Intercept->Accept(connection);
        FIntercept.reset(connection->Intercept);
    }
    FServer->DoConnect(this);
    if (!connection->Connected())
        Stop();
}

void TIdPeerThread::Run()
{
    TIdTCPServer* server = FServer;
    auto report = [&](const std::exception& e) {
        if (server->OnException)
            server->OnException(this, e);
    };
    try {
        if (!server->DoExecute(this))
            throw EIdNoExecuteSpecified();
    } catch (const EIdSocketError& e) {
        report(e);
        // A send that timed out left a reply half written: the connection
        // cannot go on either.
        if (e.LastError() == Id_WSAECONNABORTED || e.LastError() == Id_WSAECONNRESET ||
            e.LastError() == Id_WSAETIMEDOUT)
            FConnection->DisconnectSocket();
    } catch (const EIdClosedSocket& e) {
        report(e);
    } catch (const EIdConnClosedGracefully& e) {
        report(e);
    } catch (const std::exception& e) {
        report(e);
        throw;
    }
    if (!FConnection->Connected())
        Stop();
}

void TIdPeerThread::AfterRun()
{
    FServer->DoDisconnect(this);
    if (FConnection)
        FConnection->Intercept = nullptr;
    FIntercept.reset();
}

void TIdPeerThread::AfterExecute()
{
    TIdTCPServer* server = FServer;
    if (!server)
        return;
    // The stopping server finds connections through the thread list: take
    // this one out of its sight before freeing it.
    std::unique_ptr<TIdTCPServerConnection> connection;
    {
        std::lock_guard<std::recursive_mutex> lock(server->FThreadsLock);
        connection = std::move(FConnection);
    }
    try {
        connection.reset();
    } catch (...) {
    }
    FIntercept.reset();
    // Back to the manager (from its own thread the thread frees itself when
    // Execute ends), then out of the list: the server waits for the list to
    // empty before it frees the manager and itself, so nothing of the server
    // is touched after this.
    if (server->FThreadMgr)
        server->FThreadMgr->ReleaseThread(this);
    server->RemoveThread(this);
}

// ---- TIdListenerThread -------------------------------------------------------------

TIdListenerThread::TIdListenerThread(TIdTCPServer* server, TIdSocketHandle* binding)
    : TIdThread(true), FServer(server), FBinding(binding)
{
}

void TIdListenerThread::BackOff()
{
    FBackOffMs = FBackOffMs == 0 ? 10 : std::min(FBackOffMs * 2, 1000);
    int left = FBackOffMs;
    while (left > 0 && !Stopped()) {
        const int step = std::min(left, 20);
        IdSleep(static_cast<uint32_t>(step));
        left -= step;
    }
}

void TIdListenerThread::Run()
{
    TIdTCPServer* server = FServer;
    std::unique_ptr<TIdTCPServerConnection> connection;
    TIdPeerThread* peer = nullptr;
    bool added = false;
    try {
        std::unique_ptr<TIdIOHandler> handler =
            server->FIOHandler->Accept(FBinding->Handle(), this);
        if (!handler) {
            Stop();
            return;
        }
        connection = std::make_unique<TIdTCPServerConnection>(server);
        connection->SetIOHandler(std::move(handler));
        connection->ReadTimeout = server->ReadTimeout > 0 ? server->ReadTimeout : 0;
        if (server->ReadTimeout > 0 && connection->Socket()) {
            // A client that stops reading must not hold its thread in a
            // send for ever either.
            const uint32_t ms = static_cast<uint32_t>(server->ReadTimeout);
            connection->Socket()->Binding()->SetSockOpt(Id_SOL_SOCKET, Id_SO_SNDTIMEO, &ms,
                                                        sizeof ms);
        }
        TIdThread* thread = server->ThreadMgr()->GetThread();
        peer = dynamic_cast<TIdPeerThread*>(thread);
        if (!peer) {
            server->ThreadMgr()->ReleaseThread(thread);
            throw EIdTCPServerError("The thread class does not make peer threads.");
        }
        if (server->MaxConnections > 0 && server->ThreadCount() >= server->MaxConnections) {
            try {
                connection->WriteRFCReply(server->MaxConnectionReply);
            } catch (const EIdException&) {
                // The refused client may already be gone.
            }
            connection->Disconnect();
            connection.reset();
            server->ThreadMgr()->ReleaseThread(peer);
            return;
        }
        peer->SetConnection(std::move(connection));
        server->AddThread(peer);
        added = true;
        peer->Start();
        FBackOffMs = 0;
    } catch (const std::exception& e) {
        // Free what was made (a peer thread the system could not start
        // included): out of the thread list and so of the connection cap,
        // the accepted socket closed, the thread back to the manager.
        if (peer) {
            if (added)
                server->RemoveThread(peer);
            if (!connection)
                connection = peer->TakeConnection();
            server->ThreadMgr()->ReleaseThread(peer);
        }
        if (connection) {
            try {
                connection->Disconnect();
            } catch (...) {
            }
        }
        connection.reset();
        if (server->OnListenException)
            server->OnListenException(this, e);
        BackOff();
    }
}

// ---- TIdTCPServer ------------------------------------------------------------------

namespace {
template <class T> TIdThreadPtr MakeThread()
{
    return TIdThreadPtr(std::make_unique<T>().release());
}
} // namespace

TIdTCPServer::TIdTCPServer() : FCommandHandlers(this)
{
    ThreadClass = [] { return MakeThread<TIdPeerThread>(); };
}

TIdTCPServer::~TIdTCPServer()
{
    StopAndWait();
}

void TIdTCPServer::StopAndWait() noexcept
{
    try {
        SetActive(false);
    } catch (...) {
        // A stop that timed out: the peer threads still use this object.
    }
    try {
        while (!WaitForPeers(5000)) {
            std::fprintf(stderr, "netproto: server waits for %d connection thread(s)\n",
                         ThreadCount());
            ForEachConnection([](TIdPeerThread& t) { t.Connection()->Interrupt(); });
        }
        if (FOwnedThreadMgr && FThreadMgr == FOwnedThreadMgr.get())
            FThreadMgr = nullptr;
        FOwnedThreadMgr.reset();
    } catch (...) {
    }
}

TIdThreadMgr* TIdTCPServer::ThreadMgr()
{
    if (!FThreadMgr) {
        FOwnedThreadMgr = std::make_unique<TIdThreadMgrDefault>();
        FThreadMgr = FOwnedThreadMgr.get();
    }
    return FThreadMgr;
}

void TIdTCPServer::SetThreadMgr(TIdThreadMgr* manager)
{
    if (manager == FThreadMgr)
        return;
    FOwnedThreadMgr.reset();
    FThreadMgr = manager;
}

int TIdTCPServer::ThreadCount() const
{
    std::lock_guard<std::recursive_mutex> lock(FThreadsLock);
    return static_cast<int>(FThreads.size());
}

void TIdTCPServer::ForEachConnection(const std::function<void(TIdPeerThread&)>& fn)
{
    std::lock_guard<std::recursive_mutex> lock(FThreadsLock);
    for (TIdPeerThread* t : FThreads)
        if (t->Connection())
            fn(*t);
}

void TIdTCPServer::AddThread(TIdPeerThread* thread)
{
    std::lock_guard<std::recursive_mutex> lock(FThreadsLock);
    FThreads.push_back(thread);
}

void TIdTCPServer::RemoveThread(TIdPeerThread* thread)
{
    std::lock_guard<std::recursive_mutex> lock(FThreadsLock);
    FThreads.erase(std::remove(FThreads.begin(), FThreads.end(), thread), FThreads.end());
    if (FThreads.empty())
        FThreadsEmpty.notify_all();
}

bool TIdTCPServer::WaitForPeers(int limitMs)
{
    std::unique_lock<std::recursive_mutex> lock(FThreadsLock);
    return FThreadsEmpty.wait_for(lock, std::chrono::milliseconds(std::max(limitMs, 0)),
                                  [this] { return FThreads.empty(); });
}

void TIdTCPServer::SetActive(bool value)
{
    if (value == FActive)
        return;
    if (value)
        Activate();
    else
        Deactivate();
}

void TIdTCPServer::Activate()
{
    if (!FCommandHandlersInitialized) {
        InitializeCommandHandlers();
        FCommandHandlersInitialized = true;
    }
    if (FBindings.Count() == 0)
        FBindings.Add();
    TIdThreadMgr* manager = ThreadMgr();
    manager->ThreadClass = ThreadClass;
    if (!FIOHandler) {
        FOwnedIOHandler = std::make_unique<TIdServerIOHandlerSocket>();
        FIOHandler = FOwnedIOHandler.get();
    }
    FIOHandler->Init();
    ReplyTexts.UpdateText(ReplyUnknownCommand);
    ReplyTexts.UpdateText(MaxConnectionReply);

    try {
        for (int i = 0; i < FBindings.Count(); ++i) {
            TIdSocketHandle& binding = FBindings.Items(i);
            binding.AllocateSocket();
            if (ReuseSocket == rsTrue) {
                int one = 1;
                binding.SetSockOpt(Id_SOL_SOCKET, Id_SO_REUSEADDR, &one, sizeof one);
            }
            binding.Bind();
        }
        for (int i = 0; i < FBindings.Count(); ++i) {
            TIdSocketHandle& binding = FBindings.Items(i);
            binding.Listen(ListenQueue);
            FListeners.push_back(MakeListener(binding));
            FListeners.back()->Start();
        }
    } catch (...) {
        // Nothing half-started stays behind: a later activation can retry.
        StopListeners();
        throw;
    }
    FActive = true;
}

TIdThreadPtr TIdTCPServer::MakeListener(TIdSocketHandle& binding)
{
    return TIdThreadPtr(std::make_unique<TIdListenerThread>(this, &binding).release());
}

void TIdTCPServer::StopListeners()
{
    for (auto& listener : FListeners)
        listener->Terminate();
    for (auto& listener : FListeners)
        listener->TerminateAndWaitFor();
    FListeners.clear();
    for (int i = 0; i < FBindings.Count(); ++i)
        FBindings.Items(i).CloseSocket();
}

void TIdTCPServer::Deactivate()
{
    StopListeners();
    // Wakes every connection thread blocked in a read; each then ends and
    // closes its own socket.
    ForEachConnection([](TIdPeerThread& t) { t.Connection()->Interrupt(); });
    if (!WaitForPeers(TerminateWaitTime))
        throw EIdTerminateThreadTimeout();
    if (FOwnedThreadMgr && FThreadMgr == FOwnedThreadMgr.get()) {
        FOwnedThreadMgr.reset();
        FThreadMgr = nullptr;
    }
    FActive = false;
}

void TIdTCPServer::DoConnect(TIdPeerThread* thread)
{
    TIdRFCReply greeting = Greeting;
    ReplyTexts.UpdateText(greeting);
    if (greeting.ReplyExists())
        thread->Connection()->WriteRFCReply(greeting);
    if (OnConnect)
        OnConnect(thread);
}

void TIdTCPServer::DoDisconnect(TIdPeerThread* thread)
{
    if (OnDisconnect)
        OnDisconnect(thread);
}

void TIdTCPServer::DoReadTimeout(TIdPeerThread* thread)
{
    TIdTCPServerConnection& connection = *thread->Connection();
    try {
        if (ReplyReadTimeout.ReplyExists())
            connection.WriteRFCReply(ReplyReadTimeout);
    } catch (const EIdException&) {
    }
    connection.Disconnect();
}

std::string TIdTCPServer::ReadLineWithin(TIdTCPServerConnection& connection, int maxLength,
                                         const std::string& terminator)
{
    return connection.ReadLnWithin(terminator, ReadTimeout, maxLength);
}

bool TIdTCPServer::DoExecute(TIdPeerThread* thread)
{
    if (!CommandHandlersEnabled || FCommandHandlers.Count() == 0) {
        if (!OnExecute)
            return false;
        OnExecute(thread);
        return true;
    }
    TIdTCPServerConnection& connection = *thread->Connection();
    if (!connection.Connected())
        return true;
    std::string line;
    try {
        line = ReadLineWithin(connection);
    } catch (const EIdReadTimeout&) {
        DoReadTimeout(thread);
        return true;
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
        if (ReplyLineTooLong.ReplyExists())
            connection.WriteRFCReply(ReplyLineTooLong);
        return true;
    }
    if (line.empty())
        return true;
    if (OnBeforeCommandHandler)
        OnBeforeCommandHandler(this, line, thread);
    bool handled = false;
    try {
        for (int i = 0; i < FCommandHandlers.Count() && !handled; ++i) {
            TIdCommandHandler& handler = FCommandHandlers.Items(i);
            if (handler.Enabled && handler.Check(line, thread))
                handled = true;
        }
    } catch (const EIdReadTimeout&) {
        // A handler that reads on (a message, a login) met an idle client.
        DoReadTimeout(thread);
        return true;
    }
    if (!handled) {
        if (OnNoCommandHandler)
            OnNoCommandHandler(this, line, thread);
        else if (ReplyUnknownCommand.ReplyExists())
            connection.WriteRFCReply(ReplyUnknownCommand);
        else
            throw EIdTCPServerError("No command handler found.");
    }
    if (OnAfterCommandHandler)
        OnAfterCommandHandler(this, thread);
    return true;
}
