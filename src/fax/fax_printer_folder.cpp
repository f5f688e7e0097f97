#include "fax/fax_printer_folder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace FaxPrinter {

namespace {

constexpr char kAgain[] = "run fax-printer-install again.";
constexpr char kOtherFolder[] =
    "Name a folder of the fax printer's own (SKIPMAIL_PRINTFAX_DIR, a new one will do) and ";

// Root, or whoever runs this when it is not root.
bool Trusted(uid_t uid)
{
    return uid == 0 || uid == ::geteuid();
}

std::string UserName(uid_t uid)
{
    const passwd* p = ::getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}

std::string ErrorText(int error)
{
    return std::strerror(error);
}

// Where a folder lies on the way: above the fax printer folder, the folder
// itself, or users/ in it.
enum class TPlace { Above, Folder, Users };

// How the words name `path` at its place.
std::string Named(const std::string& path, TPlace place)
{
    return place == TPlace::Above ? path + ", which holds the fax printer folder," : path;
}

TFd Refuse(TRefusal& refusal, std::string what, std::string todo)
{
    refusal.What = std::move(what);
    refusal.Todo = std::move(todo);
    return TFd();
}

std::string MoveTodo()
{
    return "Put the fax printer folder where every folder above it is root's alone "
           "(SKIPMAIL_PRINTFAX_DIR) and " +
           std::string(kAgain);
}

// What to do about a folder another user laid or owns at `place`.
std::string LaidTodo(TPlace place)
{
    return place == TPlace::Above ? MoveTodo() : "Remove it and " + std::string(kAgain);
}

// The real path of the whole name `name` (from "/"), for the words alone:
// the longest part of it that is there, resolved, and the rest as given.
// Empty where not even "/" resolves.
std::string RealName(const std::string& name)
{
    std::string head = name, tail;
    for (;;) {
        const std::unique_ptr<char, decltype(&std::free)> real(::realpath(head.c_str(), nullptr),
                                                               &std::free);
        if (real)
            return std::string(real.get()) == "/" && !tail.empty() ? tail : real.get() + tail;
        const std::size_t slash = head.rfind('/');
        if (slash == std::string::npos || head == "/")
            return "";
        tail = head.substr(slash) + tail;
        head = slash == 0 ? "/" : head.substr(0, slash);
    }
}

// Refuses the name `name` in `dir` that did not open as a folder: what is
// there, and who laid it. `rest` is the rest of the fax printer folder's
// name below it.
TFd RefuseLaid(int dir, const std::string& name, const std::string& path, const std::string& rest,
               TPlace place, int error, TRefusal& refusal)
{
    if (error == ENAMETOOLONG) {
        const long most = ::fpathconf(dir, _PC_NAME_MAX);
        const std::string takes =
            most > 0 ? ", where it takes " + std::to_string(most) + " at most" : "";
        return Refuse(
            refusal,
            path + " is a name too long for its file system (" + std::to_string(name.size()) +
                " bytes" + takes + ")",
            "Name the fax printer folder with shorter names (SKIPMAIL_PRINTFAX_DIR) and " +
                std::string(kAgain));
    }
    struct stat st {};
    int looked = error;
    if (error != ENOENT)
        looked = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    // Only a name that was there and is gone has changed; any other failure
    // is said as itself.
    if (looked == ENOENT)
        return Refuse(refusal, path + " changed while it was checked",
                      "See who changes it and " + std::string(kAgain));
    if (looked != 0)
        return Refuse(refusal, "cannot check " + path + ": " + ErrorText(looked), "");
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(4096);
        const ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
        const std::string to = std::string(target.data(), n > 0 ? static_cast<size_t>(n) : 0);
        if (!Trusted(st.st_uid) || place == TPlace::Users)
            return Refuse(refusal,
                          Named(path, place) + " is a link to " + to + " that " +
                              UserName(st.st_uid) + " laid, not root's own folder",
                          LaidTodo(place));
        // Root's own (as /var/run): the folder has a name without it, which
        // is resolved here for the words alone, the whole of it (a link
        // below this one, as /proc/self/cwd, would name a process's folder).
        const std::string real = RealName(path + rest);
        return Refuse(refusal,
                      Named(path, place) + " is a link to " + to +
                          ", and no link is followed on the way to the fax printer folder",
                      "Name the fax printer folder without the link" +
                          (real.empty() ? std::string() : " (SKIPMAIL_PRINTFAX_DIR=" + real + ")") +
                          " and " + kAgain);
    }
    if (!S_ISDIR(st.st_mode))
        return Refuse(refusal,
                      Named(path, place) + " is a file of " + UserName(st.st_uid) +
                          "'s, not root's own folder",
                      LaidTodo(place));
    return Refuse(refusal, "cannot open " + path + ": " + ErrorText(error), "");
}

// Refuses the folder open on `fd` unless it is held: root's, and closed to
// others' writing or (but not users/) root's with the sticky bit.
bool Held(int fd, const std::string& path, TPlace place, TRefusal& refusal)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        Refuse(refusal, "cannot check " + path + ": " + ErrorText(errno), "");
        return false;
    }
    if (!Trusted(st.st_uid)) {
        Refuse(refusal,
               Named(path, place) + " is a folder of " + UserName(st.st_uid) + "'s, not root's own",
               LaidTodo(place));
        return false;
    }
    if ((st.st_mode & 022) == 0 || (place != TPlace::Users && (st.st_mode & S_ISVTX) != 0))
        return true;
    // Whoever may write there may move what the walk checked, or what root
    // made there.
    const std::string close = "Close it (chmod go-w " + path + ")";
    Refuse(refusal,
           Named(path, place) + " is open to other users' writing" +
               (place == TPlace::Users ? "" : " without the sticky bit"),
           place == TPlace::Above
               ? close + ", or put the fax printer folder elsewhere, and " + kAgain
               : close + " and " + kAgain);
    return false;
}

// Sets the mode of the folder open (perhaps O_PATH) on `fd`.
bool SetMode(int fd, mode_t mode)
{
    const TFd open(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return open.Get() >= 0 && ::fchmod(open.Get(), mode) == 0;
}

// One step of the walk: the folder `name` in the held folder `dir`, named
// `path` (`rest` is the rest of the fax printer folder's name below it),
// opened (O_PATH) without following and checked as held at its place. With
// `make`, made where missing and given `mode` whatever the umask (CUPS runs
// its backends under 077), `made` then saying so; what another user laid
// meanwhile is refused as any name laid.
TFd OpenStep(int dir, const std::string& name, const std::string& path, const std::string& rest,
             TPlace place, bool make, mode_t mode, bool& made, TRefusal& refusal)
{
    const auto open = [&] {
        return TFd(::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    };
    made = false;
    TFd next = open();
    if (next.Get() < 0 && errno == ENOENT && make) {
        if (::mkdirat(dir, name.c_str(), mode) == 0)
            made = true;
        else if (errno != EEXIST)
            return Refuse(refusal, "cannot make " + path + ": " + ErrorText(errno), "");
        next = open();
    }
    if (next.Get() < 0 && errno == ENOENT && !make)
        return Refuse(refusal,
                      place == TPlace::Folder ? "the fax printer folder " + path + " is missing"
                                              : Named(path, place) + " is missing",
                      "Run fax-printer-install.");
    if (next.Get() < 0)
        return RefuseLaid(dir, name, path, rest, place, errno, refusal);
    if (!Held(next.Get(), path, place, refusal))
        return TFd();
    if (made && !SetMode(next.Get(), mode))
        return Refuse(refusal, "cannot set the mode of " + path + ": " + ErrorText(errno), "");
    return next;
}

// A few of `names`, for the words.
std::string Listed(const std::vector<std::string>& names)
{
    constexpr std::size_t kShown = 5;
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i)
        list += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > kShown)
        list += " and " + std::to_string(names.size() - kShown) + " more";
    return list;
}

// A fax the backend wrote straight into the fax printer folder before
// each user's went into users/<user>/: "FAX<job>.APF", or "FAX<job>-<n>.APF".
bool IsEarlierFax(const std::string& name)
{
    const auto digits = [&](std::size_t from) {
        std::size_t to = from;
        while (to < name.size() && std::isdigit(static_cast<unsigned char>(name[to])))
            ++to;
        return to;
    };
    if (name.rfind("FAX", 0) != 0)
        return false;
    std::size_t at = digits(3);
    if (at == 3)
        return false;
    if (at < name.size() && name[at] == '-') {
        const std::size_t from = at + 1;
        at = digits(from);
        if (at == from)
            return false;
    }
    return name.compare(at, std::string::npos, ".APF") == 0;
}

// Refuses the held folder `folder`, named `path`, where it holds anything
// no fax printer folder holds: only users/ and the station's request
// folders are the fax printer's. `hasUsers` says whether users/ is there.
bool HoldsOnlyItsOwn(int folder, const std::string& path, bool hasUsers, TRefusal& refusal)
{
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(fd >= 0 ? ::fdopendir(fd) : nullptr, ::closedir);
    if (!dir) {
        Refuse(refusal, "cannot read " + path + ": " + ErrorText(errno), "");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::vector<std::string> strangers;
    bool faxesOnly = true;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        struct stat st;
        const bool looked = ::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (name == "." || name == ".." || name == kUsersFolder ||
            (IsRequestHandle(name) && looked && S_ISDIR(st.st_mode)))
            continue;
        faxesOnly = faxesOnly && IsEarlierFax(name) && looked && S_ISREG(st.st_mode);
        // As ls shows them: a name cannot move the terminal.
        strangers.push_back(name);
        std::replace_if(
            strangers.back().begin(), strangers.back().end(),
            [](unsigned char c) { return c < 0x20 || c == 0x7f; }, '?');
    }
    if (strangers.empty())
        return true;
    std::sort(strangers.begin(), strangers.end());
    if (faxesOnly) {
        // A fax printer folder of the layout before users/: its faxes are
        // its users', to be moved, never opened to all again.
        Refuse(refusal,
               path + " holds " + Listed(strangers) +
                   ", faxes printed before each user's went into " + path + "/" + kUsersFolder +
                   "/<user>",
               "Move them out of " + path + " to the users they belong to" +
                   (hasUsers ? std::string() : ", remove the folder (rmdir " + path + ")") +
                   " and " + kAgain);
        return false;
    }
    Refuse(refusal,
           path + " holds " + Listed(strangers) +
               ", which no fax printer folder holds (users/ and the station's " + kRequestPrefix +
               "XXXXXX folders alone)",
           kOtherFolder + std::string(kAgain));
    return false;
}

// Refuses the folder `path` that was there before the install and holds
// no users/: no fax printer's, even when empty, it is never opened to
// every user.
TFd RefuseWithoutUsers(const std::string& path, TRefusal& refusal)
{
    return Refuse(refusal,
                  path + " was there and holds no " + kUsersFolder +
                      "/, so it is no fax printer folder (the install opens to every user only a "
                      "folder it makes, or one that holds the fax printer's " +
                      kUsersFolder + "/)",
                  "If an earlier install left it (one cut short, or one from before " +
                      std::string(kUsersFolder) + "/), remove it (rmdir " + path + ") and " +
                      kAgain +
                      " Else name a folder of the fax printer's own "
                      "(SKIPMAIL_PRINTFAX_DIR, a new one will do) and " +
                      kAgain);
}

} // namespace

TFd OpenHeldFolder(const std::string& path, bool make, TRefusal& refusal, std::string& made)
{
    if (path.empty() || path[0] != '/')
        return Refuse(refusal, "the fax printer folder " + path + " is not named from /",
                      "Name it from / and " + std::string(kAgain));
    std::vector<std::string> names;
    std::istringstream parts(path);
    for (std::string name; std::getline(parts, name, '/');) {
        if (name == "..")
            return Refuse(refusal, "the fax printer folder " + path + " is named through ..",
                          "Name it without .. and " + std::string(kAgain));
        if (!name.empty() && name != ".")
            names.push_back(name);
    }
    TFd here(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string at = names.empty() ? "/" : "";
    struct stat root;
    if (here.Get() < 0 || ::fstat(here.Get(), &root) != 0)
        return Refuse(refusal, "cannot open /: " + ErrorText(errno), "");
    if (!Held(here.Get(), "/", names.empty() ? TPlace::Folder : TPlace::Above, refusal))
        return TFd();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        at += "/" + names[i];
        // The folder itself stays closed until users/ is in it.
        bool madeHere = false;
        std::string rest;
        for (std::size_t j = i + 1; j < names.size(); ++j)
            rest += "/" + names[j];
        TFd next = OpenStep(here.Get(), names[i], at, rest, last ? TPlace::Folder : TPlace::Above,
                            make, last ? 0700 : 0755, madeHere, refusal);
        if (next.Get() < 0)
            return next;
        if (madeHere && made.empty())
            made = at;
        here = std::move(next);
    }
    // By any name (a bind mount of it too), the machine's own.
    struct stat st;
    if (::fstat(here.Get(), &st) != 0)
        return Refuse(refusal, "cannot check " + path + ": " + ErrorText(errno), "");
    if (st.st_dev == root.st_dev && st.st_ino == root.st_ino)
        return Refuse(refusal, "the fax printer folder " + path + " is the machine's root folder /",
                      kOtherFolder + std::string(kAgain));
    return here;
}

TFd OpenUsersFolder(int folder, const std::string& path, bool make, TRefusal& refusal)
{
    bool made = false;
    return OpenStep(folder, kUsersFolder, path + "/" + kUsersFolder, "", TPlace::Users, make, 0755,
                    made, refusal);
}

bool SetUpFolder(const std::string& path, std::string& said)
{
    TRefusal refusal;
    std::string made;
    const TFd folder = OpenHeldFolder(path, true, refusal, made);
    // Only a folder made here, or one that is the fax printer's already (it
    // holds users/, and nothing but the station's requests beside it), is
    // opened to every user: any other of root's (/etc, an empty
    // /usr/local/sbin, where a user's file would be a command root runs)
    // stays as it is.
    TFd users;
    if (folder.Get() >= 0 && !made.empty()) {
        users = OpenUsersFolder(folder.Get(), path, true, refusal);
    } else if (folder.Get() >= 0) {
        struct stat st;
        const bool hasUsers =
            ::fstatat(folder.Get(), kUsersFolder, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
        if (HoldsOnlyItsOwn(folder.Get(), path, hasUsers, refusal))
            users = hasUsers ? OpenUsersFolder(folder.Get(), path, false, refusal)
                             : RefuseWithoutUsers(path, refusal);
    }
    // A folder left 0700 by a backend under CUPS's umask opens to its users
    // again; the folder opens to all once users/ is in it.
    if (users.Get() >= 0 && !SetMode(users.Get(), 0755))
        refusal.What =
            "cannot set the mode of " + path + "/" + kUsersFolder + ": " + ErrorText(errno);
    else if (users.Get() >= 0 && !SetMode(folder.Get(), 01777))
        refusal.What = "cannot set the mode of " + path + ": " + ErrorText(errno);
    else if (users.Get() >= 0)
        return true;
    said = refusal.What +
           (made.empty() ? "; nothing was changed." : "; nothing but " + made + " was made.");
    if (!refusal.Todo.empty())
        said += " " + refusal.Todo;
    return false;
}

} // namespace FaxPrinter
