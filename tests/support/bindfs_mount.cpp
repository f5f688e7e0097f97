#include "support/bindfs_mount.h"

#include "support/test_host.h"

#include <QProcess>
#include <QStringList>
#include <filesystem>

namespace fs = std::filesystem;

TLockForwardingMount::TLockForwardingMount(const std::string& source, const std::string& target,
                                           bool readOnly)
    : FTarget(target)
{
    fs::create_directories(target);
    QStringList args{"--multithreaded", "--enable-lock-forwarding"};
    if (readOnly)
        args << "-r";
    FMounted = QProcess::execute("bindfs", args << QString::fromStdString(source)
                                                << QString::fromStdString(target)) == 0;
}

TLockForwardingMount::~TLockForwardingMount()
{
    if (FMounted && QProcess::execute("fusermount", {"-u", QString::fromStdString(FTarget)}))
        QProcess::execute("umount", {"-l", QString::fromStdString(FTarget)});
}

std::string WithoutBindfs()
{
    if (!HaveProgram("bindfs"))
        return "bindfs is not installed";
    if (!fs::exists("/dev/fuse"))
        return "this machine has no FUSE (/dev/fuse)";
    return "";
}
