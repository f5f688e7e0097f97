#include <gtest/gtest.h>

#include <QStandardPaths>

#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/qt_runtime_folder.h"
#include "support/test_files.h"
#include "support/test_host.h"

namespace {

bool IsFolder(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

// Without a login session's runtime folder Qt names and makes one of its
// own under TMPDIR: a run leaves nothing of it unless the folder was there
// before or holds something. (That nothing is said of it the programs'
// own tests check.)
TEST(QtRuntimeFolder, ARunLeavesOnlyWhatWasThereOrHoldsSomething)
{
    TScratch scratch;
    const TEnvVar tmp("TMPDIR", scratch.Dir().c_str());
    const TEnvVar runtime("XDG_RUNTIME_DIR", nullptr);
    const std::string folder = scratch.Path("runtime-") + ::getpwuid(::geteuid())->pw_name;
    {
        const TQtRuntimeFolder runtimeFolder;
        EXPECT_EQ(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString(),
                  folder);
        EXPECT_TRUE(IsFolder(folder));
    }
    EXPECT_FALSE(IsFolder(folder));

    // A folder made in this run that holds a file stays, as does the file.
    {
        const TQtRuntimeFolder runtimeFolder;
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        WriteFile(folder + "/socket-of-another", "");
    }
    EXPECT_EQ(SortedNames(folder), std::vector<std::string>{"socket-of-another"});
    ::unlink((folder + "/socket-of-another").c_str());

    // One that was there before the run is left, empty as it is.
    {
        const TQtRuntimeFolder runtimeFolder;
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    }
    EXPECT_TRUE(IsFolder(folder));
}
