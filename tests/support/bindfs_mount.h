#pragma once

#include <string>

// A folder seen at another place through bindfs, a FUSE file system: one
// without unnamed files (O_TMPFILE), which passes fcntl and flock locks on
// to the files beneath it as NFS passes them to its server.

// `source` seen at `target` (read-only with `readOnly`); unmounted at
// destruction. Mounted() is false where it could not mount.
class TLockForwardingMount {
public:
    TLockForwardingMount(const std::string& source, const std::string& target,
                         bool readOnly = false);
    ~TLockForwardingMount();
    TLockForwardingMount(const TLockForwardingMount&) = delete;
    TLockForwardingMount& operator=(const TLockForwardingMount&) = delete;

    bool Mounted() const { return FMounted; }

private:
    std::string FTarget;
    bool FMounted = false;
};

// Why bindfs cannot be tried here; empty where it can.
std::string WithoutBindfs();

// Most systems let only root open FUSE's device without fusermount's help.
inline constexpr char kBindfsCannotMount[] = "bindfs cannot mount here (FUSE may be root's alone)";
