#include "support/bindfs_mount.h"

#include "support/test_host.h"

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Runs a program to its end: true where it exited 0. By fork and exec, not
// QProcess: the thread sanitizer loses track of the test's locks after a
// QProcess has run in the same program.
bool Ran(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

} // namespace

TLockForwardingMount::TLockForwardingMount(const std::string& source, const std::string& target,
                                           bool readOnly)
    : FTarget(target)
{
    fs::create_directories(target);
    std::vector<std::string> args{"bindfs", "--multithreaded", "--enable-lock-forwarding"};
    if (readOnly)
        args.emplace_back("-r");
    args.push_back(source);
    args.push_back(target);
    FMounted = Ran(args);
}

TLockForwardingMount::~TLockForwardingMount()
{
    if (FMounted && !Ran({"fusermount", "-u", FTarget}))
        Ran({"umount", "-l", FTarget});
}

std::string WithoutBindfs()
{
    if (!HaveProgram("bindfs"))
        return "bindfs is not installed";
    if (!fs::exists("/dev/fuse"))
        return "this machine has no FUSE (/dev/fuse)";
    return "";
}
