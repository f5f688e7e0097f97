#include "platform/ras_pppd.h"

#include "platform/thread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

struct TPppdRas::TConn {
    std::string Entry;
    pid_t Pid = -1;
    int OutFd = -1;
    std::thread Reader;
    // Guarded by FLock of the backend.
    int State = RasState::RASCS_OpenPort;
    std::string IpAddress;
    std::string Device;
    bool Finished = false;
    int ExitStatus = 0;
    bool HangupRequested = false;
    std::chrono::steady_clock::time_point HangupAt;
    std::condition_variable Changed;

    ~TConn()
    {
        if (Reader.joinable())
            Reader.join();
    }
};

namespace {

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            continue;
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

bool ValidEntryName(const std::string& entry)
{
    return !entry.empty() && entry[0] != '.' && entry.find('/') == std::string::npos;
}

// A private directory and an options file only the owner can read.
struct TOptionsFile {
    std::string Dir;
    std::string Path;

    bool Create(const std::string& tempDir, const std::string& text)
    {
        std::string base = tempDir;
        if (base.empty()) {
            const char* env = std::getenv("TMPDIR");
            base = env && *env ? env : "/tmp";
        }
        std::string templ = base + "/skipmail-ppp-XXXXXX";
        if (!::mkdtemp(templ.data()))
            return false;
        Dir = templ;
        Path = Dir + "/options";
        const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        return ok;
    }
    void Remove()
    {
        if (!Path.empty())
            ::unlink(Path.c_str());
        if (!Dir.empty())
            ::rmdir(Dir.c_str());
        Path.clear();
        Dir.clear();
    }
    ~TOptionsFile() { Remove(); }
};

// The value of the first "user" option of a peers file.
std::string UserOption(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t i = line.find_first_not_of(" \t");
        if (i == std::string::npos || line[i] == '#')
            continue;
        if (line.compare(i, 4, "user") != 0 || i + 4 >= line.size() ||
            (line[i + 4] != ' ' && line[i + 4] != '\t'))
            continue;
        i = line.find_first_not_of(" \t", i + 4);
        if (i == std::string::npos)
            return std::string();
        if (line[i] == '"' || line[i] == '\'') {
            const char q = line[i];
            std::string value;
            for (++i; i < line.size() && line[i] != q; ++i) {
                if (line[i] == '\\' && i + 1 < line.size())
                    ++i;
                value += line[i];
            }
            return value;
        }
        const size_t end = line.find_first_of(" \t#", i);
        return line.substr(i, end == std::string::npos ? std::string::npos : end - i);
    }
    return std::string();
}

} // namespace

TPppdRas::TPppdRas() : TPppdRas(TSettings{}) {}

TPppdRas::TPppdRas(TSettings settings) : FSettings(std::move(settings)) {}

TPppdRas::~TPppdRas()
{
    std::unique_lock lock(FLock);
    for (auto& [handle, conn] : FConns)
        if (!conn->Finished)
            ::kill(conn->Pid, SIGTERM);
    for (auto& [handle, conn] : FConns) {
        const bool gone = conn->Changed.wait_for(
            lock, std::chrono::milliseconds(FSettings.KillAfterMs), [&] { return conn->Finished; });
        if (!gone)
            ::kill(conn->Pid, SIGKILL);
    }
    auto conns = std::move(FConns);
    lock.unlock();
    conns.clear(); // joins the readers
}

std::vector<std::string> TPppdRas::CommandLine(const std::string& program, const std::string& entry,
                                               const std::string& optionsFile)
{
    // The log goes to standard output whatever the peers file says: that is
    // where the dial learns that the link is up.
    return {program, "call", entry, "nodetach", "nopersist", "logfd", "1", "file", optionsFile};
}

std::string TPppdRas::OptionsText(const std::string& user, const std::string& password)
{
    std::string text;
    if (!user.empty())
        text += "user " + Quote(user) + "\n";
    if (!password.empty())
        text += "password " + Quote(password) + "\n";
    return text;
}

int TPppdRas::ExitCodeToRas(int exitStatus)
{
    switch (exitStatus) {
    case 0: // ended at the peer's request
    case 16:
        return RasCode::ERROR_REMOTE_DISCONNECTION;
    case 2:
        return RasCode::ERROR_CORRUPT_PHONEBOOK;
    case 4:
        return RasCode::ERROR_HARDWARE_FAILURE;
    case 5:
        return RasCode::ERROR_USER_DISCONNECTION;
    case 6:
    case 7:
        return RasCode::ERROR_PORT_NOT_AVAILABLE;
    case 8:
        return RasCode::ERROR_NO_ANSWER;
    case 10:
        return RasCode::ERROR_PPP_NO_PROTOCOLS_CONFIGURED;
    case 11:
    case 19:
        return RasCode::ERROR_AUTHENTICATION_FAILURE;
    case 12:
    case 13:
        return RasCode::ERROR_DISCONNECTION;
    case 15:
        return RasCode::ERROR_PPP_TIMEOUT;
    case 17:
        return RasCode::ERROR_PPP_LOOPBACK_DETECTED;
    case 18:
        return RasCode::ERROR_PORT_OR_DEVICE;
    default:
        return RasCode::ERROR_UNKNOWN;
    }
}

int TPppdRas::StateOfLogLine(const std::string& line, std::string& ipAddress, std::string& device)
{
    if (line.rfind("Serial connection established", 0) == 0)
        return RasState::RASCS_DeviceConnected;
    if (line.rfind("Connect: ", 0) == 0) {
        const auto arrow = line.find("<--> ");
        if (arrow != std::string::npos)
            device = line.substr(arrow + 5);
        return RasState::RASCS_AllDevicesConnected;
    }
    if (line.find("authentication succeeded") != std::string::npos)
        return RasState::RASCS_Authenticated;
    if (line.rfind("local  IP address ", 0) == 0) {
        ipAddress = line.substr(18);
        ipAddress.erase(ipAddress.find_last_not_of(" \r") + 1);
        return RasState::RASCS_Connected;
    }
    return -1;
}

bool TPppdRas::Available() const
{
    return ::access(FSettings.Program.c_str(), X_OK) == 0;
}

bool TPppdRas::EntryExists(const std::string& entry) const
{
    struct stat st {};
    return ValidEntryName(entry) && ::stat((FSettings.PeersDir + "/" + entry).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

int TPppdRas::EnumEntries(const std::string&, std::vector<std::string>& names)
{
    names.clear();
    DIR* dir = ::opendir(FSettings.PeersDir.c_str());
    if (!dir)
        return errno == ENOENT ? RasCode::SUCCESS : RasCode::ERROR_CANNOT_OPEN_PHONEBOOK;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (EntryExists(name))
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return RasCode::SUCCESS;
}

int TPppdRas::GetEntryDialParams(const std::string&, TRasDialParams& params, bool& hasPassword)
{
    hasPassword = false;
    if (!EntryExists(params.EntryName))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    const std::string entry = params.EntryName;
    params = TRasDialParams{};
    params.EntryName = entry;
    params.UserName = UserOption(FSettings.PeersDir + "/" + entry);
    return RasCode::SUCCESS;
}

int TPppdRas::SetEntryDialParams(const std::string&, const TRasDialParams&, bool)
{
    return RasCode::ERROR_CANNOT_WRITE_PHONEBOOK;
}

int TPppdRas::CreateEntry(const std::string&)
{
    return RasCode::ERROR_NOT_SUPPORTED;
}

int TPppdRas::EditEntry(const std::string&, const std::string&)
{
    return RasCode::ERROR_NOT_SUPPORTED;
}

int TPppdRas::DeleteEntry(const std::string&, const std::string&)
{
    return RasCode::ERROR_CANNOT_WRITE_PHONEBOOK;
}

int TPppdRas::Dial(const std::string&, const TRasDialParams& params,
                   const std::function<void(int state)>& progress, HRASCONN& handle)
{
    handle = 0;
    if (!EntryExists(params.EntryName))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    TOptionsFile options;
    if (!options.Create(FSettings.TempDir, OptionsText(params.UserName, params.Password)))
        return RasCode::ERROR_UNKNOWN;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return RasCode::ERROR_UNKNOWN;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    const auto args = CommandLine(FSettings.Program, params.EntryName, options.Path);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, FSettings.Program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return RasCode::ERROR_DEVICE_DOES_NOT_EXIST;
    }

    auto conn = std::make_shared<TConn>();
    conn->Entry = params.EntryName;
    conn->Pid = pid;
    conn->OutFd = pipeFds[0];
    // Made before the connection is listed, so no other thread sees it
    // without its reader.
    std::thread reader;
    try {
        reader = NewSystemThread([this, conn] { FollowLog(conn); });
    } catch (const std::system_error&) {
        // Nobody could follow or reap this pppd: end it now.
        ::kill(pid, SIGTERM);
        ::close(conn->OutFd);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return RasCode::ERROR_UNKNOWN;
    }
    HRASCONN mine;
    {
        std::lock_guard guard(FLock);
        Sweep();
        conn->Reader = std::move(reader);
        mine = FNextHandle++;
        FConns[mine] = conn;
    }

    std::unique_lock lock(FLock);
    int reported = -1;
    for (;;) {
        conn->Changed.wait(lock, [&] {
            return conn->Finished || conn->State == RasState::RASCS_Connected ||
                   conn->State != reported;
        });
        if (conn->Finished || conn->State == RasState::RASCS_Connected)
            break;
        reported = conn->State;
        if (progress) {
            lock.unlock();
            progress(reported);
            lock.lock();
        }
    }
    options.Remove();
    if (!conn->Finished) {
        handle = mine;
        return RasCode::SUCCESS;
    }
    if (conn->HangupRequested || conn->ExitStatus < 0)
        return RasCode::ERROR_USER_DISCONNECTION;
    return ExitCodeToRas(conn->ExitStatus);
}

void TPppdRas::FollowLog(const std::shared_ptr<TConn>& conn)
{
    std::string pending;
    char buf[512];
    ssize_t n;
    auto take = [&](const std::string& line) {
        std::string ip, device;
        const int state = StateOfLogLine(line, ip, device);
        if (state < 0)
            return;
        std::lock_guard guard(FLock);
        if (state > conn->State || state == RasState::RASCS_Connected)
            conn->State = state;
        if (!ip.empty())
            conn->IpAddress = ip;
        if (!device.empty())
            conn->Device = device;
        conn->Changed.notify_all();
    };
    while ((n = ::read(conn->OutFd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            take(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
    if (!pending.empty())
        take(pending);
    ::close(conn->OutFd);
    int status = 0;
    while (::waitpid(conn->Pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard guard(FLock);
    conn->ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    conn->Finished = true;
    conn->Changed.notify_all();
}

void TPppdRas::Sweep()
{
    for (auto it = FConns.begin(); it != FConns.end();) {
        if (it->second->Finished) {
            // Finished is the reader's last act under the lock: the join is
            // short.
            if (it->second->Reader.joinable())
                it->second->Reader.join();
            it = FConns.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<TPppdRas::TConn> TPppdRas::Find(HRASCONN handle)
{
    Sweep();
    const auto it = FConns.find(handle);
    return it == FConns.end() ? nullptr : it->second;
}

int TPppdRas::HangUp(HRASCONN handle)
{
    std::lock_guard guard(FLock);
    const auto conn = Find(handle);
    if (!conn)
        return RasCode::ERROR_INVALID_HANDLE;
    if (!conn->HangupRequested) {
        conn->HangupRequested = true;
        conn->HangupAt = std::chrono::steady_clock::now();
        ::kill(conn->Pid, SIGTERM);
    }
    return RasCode::SUCCESS;
}

int TPppdRas::GetConnectStatus(HRASCONN handle, TRasConnStatus& status)
{
    std::lock_guard guard(FLock);
    const auto conn = Find(handle);
    if (!conn)
        return RasCode::ERROR_INVALID_HANDLE;
    // A pppd that does not end on SIGTERM is killed once its time is up.
    if (conn->HangupRequested && std::chrono::steady_clock::now() - conn->HangupAt >
                                     std::chrono::milliseconds(FSettings.KillAfterMs))
        ::kill(conn->Pid, SIGKILL);
    status = TRasConnStatus{};
    status.State = conn->State;
    status.DeviceType = "modem";
    status.DeviceName = conn->Device;
    return RasCode::SUCCESS;
}

int TPppdRas::EnumConnections(std::vector<TRasConnection>& connections)
{
    std::lock_guard guard(FLock);
    Sweep();
    connections.clear();
    for (const auto& [handle, conn] : FConns)
        connections.push_back({handle, conn->Entry, "modem", conn->Device});
    return RasCode::SUCCESS;
}

int TPppdRas::GetIpAddress(HRASCONN handle, std::string& address)
{
    std::lock_guard guard(FLock);
    const auto conn = Find(handle);
    if (!conn)
        return RasCode::ERROR_INVALID_HANDLE;
    if (conn->State != RasState::RASCS_Connected)
        return RasCode::ERROR_UNKNOWN;
    address = conn->IpAddress;
    return RasCode::SUCCESS;
}
