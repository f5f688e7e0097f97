#include "netproto/protocols/id_pop3_server.h"

#include <cerrno>
#include <cstdlib>

namespace {

std::string Trim(const std::string& s)
{
    return std::string(TrimBlanks(s));
}

// Without the blanks around it: the parameters are split at blanks only.
std::string TrimSpaces(const std::string& s)
{
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return std::string();
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// A decimal integer with an optional sign, nothing else, within 32 bits.
bool ParseDecimal(const std::string& text, int& value)
{
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    if (i == text.size())
        return false;
    for (size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9')
            return false;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || v < INT32_MIN || v > INT32_MAX)
        return false;
    value = static_cast<int>(v);
    return true;
}

// The parameters as a string list's text: one line each.
std::string JoinedParams(const std::vector<std::string>& params)
{
    std::string text;
    for (const auto& p : params)
        text += p + "\r\n";
    return text;
}

TIdPOP3ServerThread& POP3Thread(TIdCommand& command)
{
    return static_cast<TIdPOP3ServerThread&>(*command.Thread());
}

} // namespace

void TIdPOP3ServerThread::BeforeRun()
{
    Username.clear();
    Password.clear();
    State = 0;
    TIdPeerThread::BeforeRun();
}

TIdPOP3Server::TIdPOP3Server()
{
    SetDefaultPort(110);
    Greeting.Text() = {"+OK Welcome to SkipMail POP3 Server"};
    ReplyUnknownCommand.Text() = {"-ERR Sorry, Unknown Command"};
    ThreadClass = [] { return TIdThreadPtr(std::make_unique<TIdPOP3ServerThread>().release()); };
    MaxConnections = 1000;
    // A burst of clients must not overflow the accept queue: a dropped
    // handshake leaves a client waiting for the greeting for many seconds.
    ListenQueue = 1024;
    MaxConnectionReply.Text() = {"-ERR Too many connections, try again later"};
    ReadTimeout = IdReadTimeoutPOP3;
    ReplyReadTimeout.Text() = {"-ERR Idle time-out, closing connection"};
    ReplyLineTooLong.Text() = {"-ERR Line too long"};
}

TIdPOP3Server::~TIdPOP3Server()
{
    // The handlers below run on the peer threads: they must be over before
    // this part of the object goes.
    StopAndWait();
}

void TIdPOP3Server::InitializeCommandHandlers()
{
    auto add = [this](const char* word, bool parse,
                      std::function<void(TIdCommand&)> fn) -> TIdCommandHandler& {
        TIdCommandHandler& h = CommandHandlers().Add();
        h.Command = word;
        h.CmdDelimiter = ' ';
        h.ParseParams = parse;
        h.OnCommand = std::move(fn);
        return h;
    };
    add("USER", true, [this](TIdCommand& c) { CommandUSER(c); });
    add("PASS", true, [this](TIdCommand& c) { CommandPASS(c); });
    add("LIST", true, [this](TIdCommand& c) { CommandMessageNumber(c, "LIST", OnLIST); });
    add("RETR", true, [this](TIdCommand& c) { CommandMessageNumber(c, "RETR", OnRETR); });
    add("DELE", true, [this](TIdCommand& c) { CommandDELE(c); });
    add("UIDL", true, [this](TIdCommand& c) { CommandMessageNumber(c, "UIDL", OnUIDL); });
    add("STAT", false, [this](TIdCommand& c) { CommandNoParameter(c, "STAT", OnSTAT); });
    add("TOP", true, [this](TIdCommand& c) { CommandTOP(c); });
    add("NOOP", false, nullptr).ReplyNormal.Text() = {"+OK NOOP"};
    add("APOP", true, [this](TIdCommand& c) { CommandAPOP(c); });
    add("RSET", false, [this](TIdCommand& c) {
        CommandNoParameter(c, "RSET", OnRSET);
    }).ReplyNormal.Text() = {"+OK Reset"};
    TIdCommandHandler& quit = add("QUIT", false, [this](TIdCommand& c) { CommandQUIT(c); });
    quit.ReplyNormal.Text() = {"+OK Closing communication channel"};
    quit.Disconnect = true;
}

void TIdPOP3Server::Refuse(TIdCommand& command, const std::string& line)
{
    command.PerformReply = false;
    command.Connection().WriteLn(line);
}

bool TIdPOP3Server::LoggedIn(TIdCommand& command)
{
    if (POP3Thread(command).State == 1)
        return true;
    Refuse(command, "-ERR Please login first");
    return false;
}

void TIdPOP3Server::CommandUSER(TIdCommand& command)
{
    if (!command.Params.empty())
        POP3Thread(command).Username = command.Params[0];
    command.Connection().WriteLn("+OK Password required");
}

void TIdPOP3Server::CommandPASS(TIdCommand& command)
{
    TIdPOP3ServerThread& t = POP3Thread(command);
    if (!command.Params.empty())
        t.Password = TrimSpaces(command.UnparsedParams());
    // The check starts from "not logged in": a wrong password given after a
    // login must not be answered "+OK Login OK" because of the earlier one;
    // it is refused and the earlier login stays.
    const uint8_t before = t.State;
    t.State = 0;
    t.LoginRefusal.clear();
    if (CheckUser)
        CheckUser(t, t);
    if (t.State == 1) {
        command.Connection().WriteLn("+OK Login OK");
        return;
    }
    t.State = before;
    command.Connection().WriteLn(t.LoginRefusal.empty() ? "-ERR Login failed" : t.LoginRefusal);
}

void TIdPOP3Server::CommandMessageNumber(TIdCommand& command, const char* word,
                                         const TMessageNumberEvent& event)
{
    if (!LoggedIn(command))
        return;
    if (!event) {
        Refuse(command, std::string("-ERR Command Not Handled: ") + word);
        return;
    }
    int number = -1;
    if (command.Params.size() != 1 || !ParseDecimal(Trim(JoinedParams(command.Params)), number))
        number = -1;
    event(command, number);
}

void TIdPOP3Server::CommandDELE(TIdCommand& command)
{
    if (!LoggedIn(command))
        return;
    if (!OnDELE) {
        Refuse(command, "-ERR Command Not Handled: DELE");
        return;
    }
    int number = 0;
    if (!ParseDecimal(Trim(JoinedParams(command.Params)), number)) {
        Refuse(command, "-ERR Invalid Message Number");
        return;
    }
    try {
        OnDELE(command, number);
    } catch (const std::exception&) {
        Refuse(command, "-ERR Invalid Message Number");
    }
}

void TIdPOP3Server::CommandNoParameter(TIdCommand& command, const char* word,
                                       const TIdCommandEvent& event)
{
    if (!LoggedIn(command))
        return;
    if (!event) {
        Refuse(command, std::string("-ERR Command Not Handled: ") + word);
        return;
    }
    event(command);
}

void TIdPOP3Server::CommandTOP(TIdCommand& command)
{
    if (!LoggedIn(command))
        return;
    if (!OnTOP) {
        Refuse(command, "-ERR Command Not Handled: TOP");
        return;
    }
    int number = -1;
    int lines = -1;
    if (command.Params.size() != 2 || !ParseDecimal(Trim(command.Params[0]), number) ||
        !ParseDecimal(Trim(command.Params[1]), lines) || number == -1 || lines == -1) {
        Refuse(command, "-ERR Invalid Syntax");
        return;
    }
    OnTOP(command, number, lines);
}

void TIdPOP3Server::CommandAPOP(TIdCommand& command)
{
    TIdPOP3ServerThread& t = POP3Thread(command);
    if (t.State != 0) {
        Refuse(command, "-ERR Wrong State");
        return;
    }
    if (!OnAPOP) {
        Refuse(command, "-ERR Command Not Handled: APOP");
        return;
    }
    if (command.Params.size() != 2) {
        Refuse(command, "-ERR Invalid Syntax");
        return;
    }
    OnAPOP(command, command.Params[0], command.Params[1]);
    if (t.State != 1)
        Refuse(command, "-ERR Login failed");
}

void TIdPOP3Server::CommandQUIT(TIdCommand& command)
{
    if (POP3Thread(command).State == 1 && OnQUIT)
        OnQUIT(command);
}
