// The threaded TCP server: one listener thread per binding, one peer thread
// per connection, and a table of command handlers that the line protocols
// (SMTP, POP3) fill in.
#pragma once

#include "netproto/core/id_intercept.h"
#include "netproto/core/id_iohandler.h"
#include "netproto/core/id_socket_handle.h"
#include "netproto/core/id_tcp_connection.h"
#include "netproto/core/id_thread.h"
#include "netproto/protocols/id_rfc_reply.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class EIdTCPServerError : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdNoExecuteSpecified : public EIdTCPServerError {
public:
    EIdNoExecuteSpecified() : EIdTCPServerError("No execute handler found.") {}
};
class EIdTerminateThreadTimeout : public EIdTCPServerError {
public:
    EIdTerminateThreadTimeout() : EIdTCPServerError("Terminate Thread Timeout") {}
};

class TIdTCPServer;
class TIdPeerThread;
class TIdListenerThread;
class TIdCommandHandler;

// The connection of one accepted client, with the server it belongs to.
class TIdTCPServerConnection : public TIdTCPConnection {
public:
    explicit TIdTCPServerConnection(TIdTCPServer* server) : FServer(server) {}
    TIdTCPServer* Server() const { return FServer; }

    // Closing a socket is serialised with a stopping server, which wakes the
    // connections it finds in its thread list: it must never touch a handler
    // that is being freed or a descriptor number that was already reused.
    // The lock is the connection's own, so that a closing connection never
    // holds up the listener or the other connections.
    void Disconnect() override;
    void DisconnectSocket() override;
    // Wakes a thread blocked on this connection (the stopping server, which
    // holds the thread list, so the connection is not freed meanwhile).
    void Interrupt();

private:
    TIdTCPServer* FServer;
    // Recursive: a connection closing its own socket takes it again.
    std::recursive_mutex FCloseLock;
};

// The command being handled: made for one matched line, freed after it.
class TIdCommand {
public:
    TIdCommand(TIdCommandHandler* handler, TIdPeerThread* thread, std::string rawLine,
               std::string unparsedParams);
    virtual ~TIdCommand() = default;
    TIdCommand(const TIdCommand&) = delete;
    TIdCommand& operator=(const TIdCommand&) = delete;

    virtual void DoCommand();
    // Clears PerformReply, fills a missing text from the server's ReplyTexts
    // and writes Reply when it holds one.
    void SendReply();

    TIdCommandHandler* CommandHandler() const { return FCommandHandler; }
    TIdPeerThread* Thread() const { return FThread; }
    // The thread's connection (the handlers write their replies on it).
    TIdTCPServerConnection& Connection() const;
    const std::string& RawLine() const { return FRawLine; }
    const std::string& UnparsedParams() const { return FUnparsedParams; }

    std::vector<std::string> Params;
    bool PerformReply = true;
    TIdRFCReply Reply;
    std::vector<std::string> Response;

private:
    TIdCommandHandler* FCommandHandler;
    TIdPeerThread* FThread;
    std::string FRawLine;
    std::string FUnparsedParams;
};

using TIdCommandEvent = std::function<void(TIdCommand& sender)>;

class TIdCommandHandlers;

class TIdCommandHandler {
public:
    explicit TIdCommandHandler(TIdCommandHandlers* collection, int id);
    virtual ~TIdCommandHandler() = default;
    TIdCommandHandler(const TIdCommandHandler&) = delete;
    TIdCommandHandler& operator=(const TIdCommandHandler&) = delete;

    std::string GetDisplayName() const { return Command.empty() ? Name : Command; }
    void SetDisplayName(const std::string& value) { Name = value; }
    // Matches the line against Command and, when it matches, runs the command
    // and writes its replies. False when the line is not this handler's.
    virtual bool Check(const std::string& data, TIdPeerThread* thread);

    TIdCommandHandlers* Collection() const { return FCollection; }

    char CmdDelimiter = ' ';
    std::string Command;
    bool Disconnect = false;
    bool Enabled = true;
    std::string Name;
    TIdCommandEvent OnCommand;
    char ParamDelimiter = ' ';
    bool ParseParams = true;
    int32_t ReplyExceptionCode = 0;
    TIdRFCReply ReplyNormal;
    std::vector<std::string> Response;
    int32_t Tag = 0;

private:
    TIdCommandHandlers* FCollection;
};

class TIdCommandHandlers {
public:
    explicit TIdCommandHandlers(TIdTCPServer* server) : FServer(server) {}
    TIdCommandHandler& Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    TIdCommandHandler& Items(int index) { return *FItems.at(static_cast<size_t>(index)); }
    TIdTCPServer* Server() const { return FServer; }
    void Clear() { FItems.clear(); }

private:
    TIdTCPServer* FServer;
    std::vector<std::unique_ptr<TIdCommandHandler>> FItems;
    int FNextID = 0;
};

// The thread of one connection.
class TIdPeerThread : public TIdThread {
public:
    TIdPeerThread();
    ~TIdPeerThread() override;

    // None before the listener hands the connection over and after the end.
    TIdTCPServerConnection* Connection() const { return FConnection.get(); }
    void SetConnection(std::unique_ptr<TIdTCPServerConnection> connection);
    // Hands the connection back (a thread that never ran).
    std::unique_ptr<TIdTCPServerConnection> TakeConnection();

protected:
    void BeforeRun() override;
    void Run() override;
    void AfterRun() override;
    void AfterExecute() override;

private:
    friend class TIdTCPServer;
    TIdTCPServer* Server() const;
    std::unique_ptr<TIdTCPServerConnection> FConnection;
    std::unique_ptr<TIdConnectionIntercept> FIntercept;
    TIdTCPServer* FServer = nullptr;
};

// Accepts the connections of one binding.
class TIdListenerThread : public TIdThread {
public:
    TIdListenerThread(TIdTCPServer* server, TIdSocketHandle* binding);
    TIdTCPServer* Server() const { return FServer; }
    TIdSocketHandle* Binding() const { return FBinding; }

protected:
    void Run() override;

private:
    // Waits before the next accept after a failure such as a full descriptor
    // table, so a listener never spins; ends early when told to stop.
    void BackOff();

    TIdTCPServer* FServer;
    TIdSocketHandle* FBinding;
    int FBackOffMs = 0;
};

enum TIdReuseSocket { rsOSDependent, rsTrue, rsFalse };

class TIdTCPServer : public TIdComponent {
public:
    TIdTCPServer();
    // Stops first; waits for every peer thread (it never frees what a running
    // peer thread still uses) and never throws.
    ~TIdTCPServer() override;

    bool Active() const { return FActive; }
    // True starts listening on every binding; false stops. A stop whose
    // peer threads do not end within TerminateWaitTime raises
    // EIdTerminateThreadTimeout and Active stays true.
    void SetActive(bool value);

    TIdSocketHandles& Bindings() { return FBindings; }
    TIdCommandHandlers& CommandHandlers() { return FCommandHandlers; }
    int DefaultPort() const { return FBindings.DefaultPort; }
    void SetDefaultPort(int value) { FBindings.DefaultPort = value; }
    // Server I/O handler (not owned); a socket one is made on activation when
    // none is set.
    TIdServerIOHandler* IOHandler() const { return FIOHandler; }
    void SetIOHandler(TIdServerIOHandler* handler) { FIOHandler = handler; }
    // Thread manager (not owned); a default one is made on first use.
    TIdThreadMgr* ThreadMgr();
    void SetThreadMgr(TIdThreadMgr* manager);

    // Number of live peer threads.
    int ThreadCount() const;
    // Runs fn on every live peer thread's connection under the list's lock.
    void ForEachConnection(const std::function<void(TIdPeerThread&)>& fn);

    bool CommandHandlersEnabled = true;
    TIdRFCReply Greeting;
    TIdServerIntercept* Intercept = nullptr;
    int32_t ListenQueue = 15;
    TIdRFCReply MaxConnectionReply;
    // 0 or below: no limit.
    int32_t MaxConnections = 0;
    int32_t ReplyExceptionCode = 0;
    TIdRFCReplies ReplyTexts;
    TIdRFCReply ReplyUnknownCommand;
    TIdReuseSocket ReuseSocket = rsOSDependent;
    int32_t TerminateWaitTime = 5000;
    // Each connection's idle limit in ms: a command line (and each line of a
    // message) must arrive whole within it, so neither an idle client nor one
    // that drips bytes holds a thread for ever; a client that takes nothing
    // of a reply for that long loses the connection. Time a client spends
    // taking a long reply is not idle. 0 or below: no limit.
    int32_t ReadTimeout = IdReadTimeoutPOP3;
    // Written to a connection that is closed for being idle too long.
    TIdRFCReply ReplyReadTimeout;
    // Written when a command line exceeds the connection's maximum length;
    // the rest of that line is dropped and the session goes on.
    TIdRFCReply ReplyLineTooLong;

    // Makes the peer threads; each protocol server sets its own class.
    std::function<TIdThreadPtr()> ThreadClass;

    std::function<void(TIdTCPServer* sender, TIdPeerThread* thread)> OnAfterCommandHandler;
    std::function<void(TIdTCPServer* sender, const std::string& data, TIdPeerThread* thread)>
        OnBeforeCommandHandler;
    std::function<void(TIdPeerThread* thread)> OnConnect;
    std::function<void(TIdPeerThread* thread)> OnExecute;
    std::function<void(TIdPeerThread* thread)> OnDisconnect;
    std::function<void(TIdPeerThread* thread, const std::exception& e)> OnException;
    std::function<void(TIdListenerThread* thread, const std::exception& e)> OnListenException;
    std::function<void(TIdTCPServer* sender, const std::string& data, TIdPeerThread* thread)>
        OnNoCommandHandler;

    // Reads one line that must arrive whole within ReadTimeout; raises
    // EIdReadTimeout when it does not. The default terminator LF also ends a
    // line at CR LF. A line longer than maxLength (-1: the connection's
    // MaxLineLength) raises EIdReadLnMaxLineLengthExceeded and is dropped up
    // to its end.
    std::string ReadLineWithin(TIdTCPServerConnection& connection, int maxLength = -1,
                               const std::string& terminator = "\n");

protected:
    virtual void DoConnect(TIdPeerThread* thread);
    virtual void DoDisconnect(TIdPeerThread* thread);
    virtual bool DoExecute(TIdPeerThread* thread);
    // Each protocol server builds its command table here.
    virtual void InitializeCommandHandlers() {}
    // Idle connection: ReplyReadTimeout, then the connection is closed.
    virtual void DoReadTimeout(TIdPeerThread* thread);
    // Stops and waits for every peer thread; protocol servers call it first
    // in their destructors, since their handlers run on those threads.
    void StopAndWait() noexcept;

private:
    friend class TIdPeerThread;
    friend class TIdListenerThread;

    void Activate();
    void Deactivate();
    TIdThreadPtr MakeListener(TIdSocketHandle& binding);
    void StopListeners();
    // Waits up to `limitMs` for the peer threads to end; true when none is left.
    bool WaitForPeers(int limitMs);
    void AddThread(TIdPeerThread* thread);
    void RemoveThread(TIdPeerThread* thread);

    bool FActive = false;
    bool FCommandHandlersInitialized = false;
    TIdSocketHandles FBindings;
    TIdCommandHandlers FCommandHandlers;
    TIdServerIOHandler* FIOHandler = nullptr;
    std::unique_ptr<TIdServerIOHandler> FOwnedIOHandler;
    TIdThreadMgr* FThreadMgr = nullptr;
    std::unique_ptr<TIdThreadMgr> FOwnedThreadMgr;
    std::vector<TIdThreadPtr> FListeners;

    // The live peer threads. Recursive: what ForEachConnection runs may ask
    // the server again.
    mutable std::recursive_mutex FThreadsLock;
    std::condition_variable_any FThreadsEmpty;
    std::vector<TIdPeerThread*> FThreads;
};

// Replaces the first "%s" of fmt by arg ("%%" gives "%").
std::string IdFormat(const std::string& fmt, const std::string& arg);
