#include "support/test_files.h"

#include "platform/data_root.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pthread.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace fs = std::filesystem;

namespace {

// The scratch folders a stop signal removes. A slot's path is written
// before its owner is set; the owner is the process that made the folder,
// so a child forked by a test and signalled leaves its parent's alone.
struct TScratchSlot {
    std::atomic<pid_t> Owner{0}; // -1 while the path is written
    char Path[PATH_MAX];
};
TScratchSlot g_scratch[64];

// Removes `name` under the folder open at `parent`, a whole tree, with
// system calls alone: a signal handler may allocate nothing. False where
// something was left.
bool RemoveTreeAt(int parent, const char* name)
{
    const int dir = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return ::unlinkat(parent, name, 0) == 0;
    // A directory read while it is emptied may skip a name: read it again
    // while that removes something.
    for (bool removed = true; removed;) {
        removed = false;
        ::lseek(dir, 0, SEEK_SET);
        alignas(8) char buf[1024];
        long n = 0;
        while ((n = ::syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
            for (long at = 0; at < n;) {
                // struct linux_dirent64: inode, offset, record length, type, name.
                unsigned short length = 0;
                std::memcpy(&length, buf + at + 16, sizeof length);
                const char* entry = buf + at + 19;
                if (std::strcmp(entry, ".") != 0 && std::strcmp(entry, "..") != 0)
                    removed = RemoveTreeAt(dir, entry) || removed;
                at += length;
            }
        }
    }
    ::close(dir);
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

extern "C" void RemoveScratchAndStop(int sig)
{
    const pid_t self = ::getpid();
    for (TScratchSlot& slot : g_scratch)
        if (slot.Owner.load() == self)
            RemoveTreeAt(AT_FDCWD, slot.Path);
    // The handler went on entry (SA_RESETHAND): the signal, once more, ends
    // the program as it would have.
    ::raise(sig);
}

// Gives `dir` to the stop signals to remove, where a slot is free.
void Register(const std::string& dir)
{
    for (TScratchSlot& slot : g_scratch) {
        pid_t free = 0;
        if (dir.size() < PATH_MAX && slot.Owner.compare_exchange_strong(free, -1)) {
            std::memcpy(slot.Path, dir.c_str(), dir.size() + 1);
            slot.Owner.store(::getpid());
            break;
        }
    }
    // Each time, as a signal watcher under test resets SIGINT and SIGTERM;
    // one the program was started with ignored stays ignored.
    for (const int sig : {SIGINT, SIGTERM}) {
        struct sigaction now {};
        if (::sigaction(sig, nullptr, &now) != 0 || now.sa_handler != SIG_DFL)
            continue;
        struct sigaction action {};
        action.sa_handler = RemoveScratchAndStop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &action, nullptr);
    }
}

void Unregister(const std::string& dir)
{
    for (TScratchSlot& slot : g_scratch)
        if (slot.Owner.load() == ::getpid() && dir == slot.Path)
            slot.Owner.store(0);
}

} // namespace

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty())
        fs::create_directories(parent);
    std::ofstream(path, std::ios::binary) << bytes;
}

int ExchangeNames(const std::string& a, const std::string& b)
{
    if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
        return 0;
    return errno;
}

std::vector<std::string> SortedNames(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TScratch::TScratch()
{
    std::string tmpl = (fs::temp_directory_path() / "skiptest.XXXXXX").string();
    // A stop signal waits until the folder is made and given to it.
    sigset_t stops, before;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stops, &before);
    const bool made = ::mkdtemp(tmpl.data()) != nullptr;
    if (made && !std::getenv("SKIPMAIL_KEEP_SCRATCH"))
        Register(tmpl);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!made)
        throw std::runtime_error("no scratch folder");
    FDir = tmpl;
}

TScratch::~TScratch()
{
    std::error_code ec;
    if (!std::getenv("SKIPMAIL_KEEP_SCRATCH"))
        fs::remove_all(FDir, ec);
    Unregister(FDir);
}

TempRoot::TempRoot()
{
    DataRoot::Set(Dir());
}

void TempRoot::WriteFile(const std::string& relative, const std::string& data) const
{
    ::WriteFile(Path(relative), data);
}

std::string TempRoot::ReadFile(const std::string& relative) const
{
    return ::ReadFile(Path(relative));
}

bool TempRoot::Exists(const std::string& relative) const
{
    return fs::exists(Path(relative));
}
