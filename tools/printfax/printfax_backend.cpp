// The fax printer's CUPS backend: what CUPS's filters render for the queue
// "APF_Fax_Printer" arrives as one-bit raster and is written as an APF fax
// file.
//
//   printfax                                   lists the device
//   printfax JOB USER TITLE COPIES OPTIONS [FILE]
//
// A job that carries the station's handle (fax/fax_shell_printer.h) is
// written under the name and at the resolution that APFPDENG.INI gives, as
// the user who owns that file; any other job becomes FAX<job>.APF in the fax
// printer folder, as CUPS's user lp, at the resolution it was rendered at.
// The file appears under its name whole or not at all, and the exit code 0
// says it is there. A failure writes its reason as an ERROR line (the job's
// state message) and cancels the job, so the queue goes on.
#include "fax/fax_raster_input.h"
#include "fax/fax_shell_printer.h"
#include "serial/ad_except.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cups/backend.h>
#include <cups/cups.h>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnTerminate(int)
{
    gStop = 1;
}

int Fail(const std::string& reason)
{
    std::fprintf(stderr, "ERROR: %s\n", reason.c_str());
    return CUPS_BACKEND_CANCEL;
}

// Takes the user's identity (and groups) when running as root; true when
// that is done or there is nothing to change.
bool Become(const passwd& user, std::string& why)
{
    if (::geteuid() != 0 || user.pw_uid == 0)
        return true;
    if (::initgroups(user.pw_name, user.pw_gid) != 0 || ::setgid(user.pw_gid) != 0 ||
        ::setuid(user.pw_uid) != 0) {
        why = std::string("cannot become ") + user.pw_name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

struct TTarget {
    std::string Name;
    std::optional<bool> Fine; // none: as rendered
};

// The station's request, read as the user who wrote it; empty Name with
// `why` set when it cannot be followed.
TTarget StationTarget(const std::string& handle, std::string& why)
{
    const std::string ini = FaxPrinter::SettingsPath();
    // The owner named below must be the writer of what is read: the file is
    // opened once, never through a link, and read through that descriptor.
    const int fd = ::open(ini.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = "cannot read " + ini + ": " + std::strerror(errno);
        return {};
    }
    struct stat st;
    const bool plain = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const FaxPrinter::TShellSettings s =
        plain ? FaxPrinter::ReadShellSettings("/proc/self/fd/" + std::to_string(fd))
              : FaxPrinter::TShellSettings{};
    ::close(fd);
    if (!plain) {
        why = ini + " is no plain file";
        return {};
    }
    if (s.ShellHandle != handle) {
        why = ini + " holds the request of another job";
        return {};
    }
    if (s.ShellName.empty() || s.ShellName[0] != '/') {
        why = ini + " names no whole file name";
        return {};
    }
    const passwd* owner = ::getpwuid(st.st_uid);
    if (!owner) {
        why = "the owner of " + ini + " is no user";
        return {};
    }
    if (!Become(*owner, why))
        return {};
    return {s.ShellName, s.Fine};
}

TTarget OtherTarget(const std::string& job, std::string& why)
{
    if (const passwd* lp = ::getpwnam("lp"); lp && !Become(*lp, why))
        return {};
    return {FaxPrinter::Folder() + "/FAX" + job + ".APF", std::nullopt};
}

std::string Reason(int rc, const TFaxRasterData& raster, const std::string& out)
{
    switch (rc) {
    case AdErr::ecBadGraphicsFormat:
        return raster.WrongKind ? "the print system sent raster other than one-bit black"
                                : "the document gave no pages";
    case AdErr::ecDeviceRead:
        return "the document's raster ended inside a page";
    default:
        break;
    }
    return "cannot write " + out + ": " + ErrorMsg(rc);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 1) {
        std::printf("direct %s \"SkipMail APF Fax Printer\" \"%s\"\n", FaxPrinter::kDeviceUri,
                    FaxPrinter::kDescription);
        return CUPS_BACKEND_OK;
    }
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return CUPS_BACKEND_FAILED;
    }
    // No SA_RESTART: a read waiting on the filters returns, and the file
    // under its temporary name goes.
    struct sigaction onTerm {};
    onTerm.sa_handler = OnTerminate;
    sigemptyset(&onTerm.sa_mask);
    ::sigaction(SIGTERM, &onTerm, nullptr);

    // The spool file is CUPS's: opened before taking another identity.
    int fd = 0;
    if (argc == 7) {
        fd = ::open(argv[6], O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return Fail(std::string("cannot read ") + argv[6] + ": " + std::strerror(errno));
    }
    cups_option_t* options = nullptr;
    const int count = cupsParseOptions(argv[5], 0, &options);
    const char* handle = cupsGetOption(FaxPrinter::kHandleOption, count, options);
    std::string why;
    const TTarget target =
        handle && *handle ? StationTarget(handle, why) : OtherTarget(argv[1], why);
    cupsFreeOptions(count, options);
    if (target.Name.empty())
        return Fail(why);

    std::unique_ptr<TAbsFaxCvt> cvt;
    rcInitRasterConverter(cvt, fd);
    auto& raster = static_cast<TFaxRasterData&>(*cvt->InData);
    raster.Stop = &gStop;
    raster.TakeResolution = !target.Fine;
    acSetResolutionMode(*cvt, target.Fine.value_or(true));
    const int rc = acConvertToFile(*cvt, "", target.Name);
    if (gStop)
        return CUPS_BACKEND_CANCEL;
    if (rc != 0)
        return Fail(Reason(rc, raster, target.Name));
    std::fprintf(stderr, "INFO: %s written\n", target.Name.c_str());
    return CUPS_BACKEND_OK;
}
