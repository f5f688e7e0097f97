#include "mail/pop3_frm.h"

#include "core/config.h"
#include "core/msg_status_frm.h"
#include "platform/thread.h"

namespace {

// Replies written straight to the command's connection.
class TConnectionWriter : public TPOP3ReplyWriter {
public:
    explicit TConnectionWriter(TIdCommand& command) : FCommand(command) {}
    void WriteLn(const std::string& line) override { FCommand.Connection().WriteLn(line); }
    void Write(const std::string& text) override { FCommand.Connection().Write(text); }

private:
    TIdCommand& FCommand;
};

} // namespace

TPOP3Frm::TPOP3Frm(QWidget* owner, TMsgStatusFrm* msgStatus, TConfig* config, TUserList* users)
    : QWidget(owner), FConfig(config), FMailbox(users, [msgStatus](const std::string& text) {
          if (msgStatus)
              msgStatus->AddLogLine(text);
      })
{
    setWindowTitle("POP3 Server");
    setObjectName("POP3Frm");
}

TPOP3Frm::~TPOP3Frm()
{
    SetServerActive(false);
}

bool TPOP3Frm::Listening() const
{
    return FServer.Listening();
}

bool TPOP3Frm::SetServerActive(bool on)
{
    FServer.Stop();
    if (!on)
        return true;

    TIdPOP3Server& s = FServer.Renew();
    s.Greeting.Text() = {"+OK POP3 Server Ready"};
    s.OnBeforeCommandHandler = [this](TIdTCPServer* sender, const std::string& line,
                                      TIdPeerThread* thread) {
        POP3BeforeCommand(sender, line, thread);
    };
    s.CheckUser = [this](TIdPeerThread& t, TIdPOP3ServerThread& p) { POP3CheckUser(t, p); };
    s.OnSTAT = [this](TIdCommand& c) { POP3Stat(c); };
    s.OnLIST = [this](TIdCommand& c, int n) { POP3List(c, n); };
    s.OnRETR = [this](TIdCommand& c, int n) { POP3Retr(c, n); };
    s.OnDELE = [this](TIdCommand& c, int n) { POP3Dele(c, n); };
    s.OnQUIT = [this](TIdCommand& c) { POP3Quit(c); };
    s.OnTOP = [this](TIdCommand& c, int n, int lines) { POP3Top(c, n, lines); };
    int port;
    {
        auto lock = FConfig->Lock();
        port = FConfig->Pop3.Port;
    }
    FServer.Start(port);
    return true;
}

bool TPOP3Frm::SetPort(int port)
{
    bool restart = Listening();
    if (restart)
        SetServerActive(false);
    {
        auto lock = FConfig->Lock();
        FConfig->Pop3.Port = port;
    }
    if (restart)
        SetServerActive(true);
    return true;
}

void TPOP3Frm::POP3BeforeCommand(TIdTCPServer*, const std::string&, TIdPeerThread*)
{
    if (BeforeCommandDelayMs > 0)
        SleepMs(static_cast<uint32_t>(BeforeCommandDelayMs));
}

void TPOP3Frm::POP3CheckUser(TIdPeerThread& thread, TIdPOP3ServerThread& pop3Thread)
{
    bool inUse = false;
    std::unique_ptr<TPOPInfo> info =
        FMailbox.Login(pop3Thread.Username, pop3Thread.Password, &inUse);
    if (!info) {
        if (inUse)
            pop3Thread.LoginRefusal = "-ERR Mailbox in use by another connection, try again later";
        return;
    }
    pop3Thread.State = 1;
    thread.Data = std::move(info);
}

TPOPInfo* TPOP3Frm::Info(TIdCommand& command)
{
    auto* info = dynamic_cast<TPOPInfo*>(command.Thread()->Data.get());
    if (!info)
        command.Connection().WriteLn("-ERR Please login first");
    return info;
}

void TPOP3Frm::POP3Stat(TIdCommand& command)
{
    if (TPOPInfo* info = Info(command)) {
        TConnectionWriter out(command);
        FMailbox.Stat(*info, out);
    }
}

void TPOP3Frm::POP3List(TIdCommand& command, int messageNum)
{
    if (TPOPInfo* info = Info(command)) {
        TConnectionWriter out(command);
        FMailbox.List(*info, messageNum, out);
    }
}

void TPOP3Frm::POP3Retr(TIdCommand& command, int messageNum)
{
    if (TPOPInfo* info = Info(command)) {
        TConnectionWriter out(command);
        FMailbox.Retr(*info, messageNum, out);
    }
}

void TPOP3Frm::POP3Dele(TIdCommand& command, int messageNum)
{
    if (TPOPInfo* info = Info(command)) {
        TConnectionWriter out(command);
        FMailbox.Dele(*info, messageNum, out);
    }
}

void TPOP3Frm::POP3Quit(TIdCommand& command)
{
    if (TPOPInfo* info = Info(command)) {
        TConnectionWriter out(command);
        FMailbox.Quit(*info, out);
        // Its line is the whole reply: a client reading on after it must
        // find the connection closed, not a second status line.
        command.PerformReply = false;
    }
}

void TPOP3Frm::POP3Top(TIdCommand& command, int messageNum, int numLines)
{
    if (TPOPInfo* info = Info(command)) {
        TConnectionWriter out(command);
        FMailbox.Top(*info, messageNum, numLines, out);
    }
}
