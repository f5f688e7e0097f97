#include "serial/port_access.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string UserName(uid_t uid)
{
    if (const passwd* pw = ::getpwuid(uid))
        return pw->pw_name;
    return "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid)
{
    if (const group* gr = ::getgrgid(gid))
        return gr->gr_name;
    return "gid " + std::to_string(gid);
}

// Whether this process holds the group (a membership given after the login
// that started the station is not held yet).
bool HoldsGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(n, 0)));
    if (n > 0 && ::getgroups(n, groups.data()) < 0)
        return false;
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

} // namespace

std::string PortAccessDenied(const std::string& name, const std::string& path)
{
    const uid_t uid = ::geteuid();
    const std::string user = UserName(uid);
    const std::string said =
        "Serial Port Access Denied: user " + user + " may not open " + name + ".";
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return said + " " + std::strerror(errno) + ".";
    const std::string owner = UserName(st.st_uid);
    const std::string group = GroupName(st.st_gid);
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        if (st.st_uid == uid)
            return said;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return said + " Only its owner " + owner + " may (mode " + mode + "): run the station as " +
               owner + ", or let a group of " + user + "'s read and write it.";
    }
    if (HoldsGroup(st.st_gid))
        return said;
    return said + " Its owner " + owner + " and the members of group " + group + " may: make " +
           user + " a member (usermod -aG " + group + " " + user + ") and log in again.";
}
