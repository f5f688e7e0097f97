#include "platform/qt_runtime_folder.h"

#include <QDir>
#include <QtGlobal>

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QtMessageHandler gNextHandler = nullptr;

bool IsRuntimeNotice(QtMsgType type, const QString& message)
{
    return type == QtWarningMsg &&
           message.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to ");
}

void DropRuntimeNotice(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (IsRuntimeNotice(type, message))
        return;
    if (gNextHandler)
        gNextHandler(type, context, message);
}

// The folder Qt takes for runtime files without XDG_RUNTIME_DIR, named as
// Qt names it: the temporary folder (TMPDIR, else /tmp) and the user's name.
std::string DefaultPath()
{
    const passwd* user = ::getpwuid(::geteuid());
    return QDir::tempPath().toStdString() + "/runtime-" + (user ? user->pw_name : "");
}

} // namespace

TQtRuntimeFolder::TQtRuntimeFolder()
{
    // Once: a handler installed after this one may pass messages on to it.
    static const bool installed = [] {
        gNextHandler = qInstallMessageHandler(DropRuntimeNotice);
        return true;
    }();
    (void)installed;
    const char* set = std::getenv("XDG_RUNTIME_DIR");
    if (set && *set)
        return;
    const std::string path = DefaultPath();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        FMadeHere = path;
}

TQtRuntimeFolder::~TQtRuntimeFolder()
{
    struct stat st;
    // rmdir takes only an empty folder, and only ours is worth trying.
    if (!FMadeHere.empty() && ::lstat(FMadeHere.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid())
        ::rmdir(FMadeHere.c_str());
}
