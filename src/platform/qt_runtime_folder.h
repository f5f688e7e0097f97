#pragma once

#include <string>

// Qt keeps a program's runtime files in XDG_RUNTIME_DIR. Where no login
// session set it (a service manager, su, setpriv, root's cron) Qt says so on
// standard error at every start and makes <TMPDIR>/runtime-<user> in its
// place, which then outlives the program. Made before the application, this
// drops that notice from then on (every other message goes where it went
// before) and, at its end, removes the folder where this run made it and
// left it empty: a folder that was there before, or that holds anything, is
// left as found.
class TQtRuntimeFolder {
public:
    TQtRuntimeFolder();
    ~TQtRuntimeFolder();
    TQtRuntimeFolder(const TQtRuntimeFolder&) = delete;
    TQtRuntimeFolder& operator=(const TQtRuntimeFolder&) = delete;

private:
    // Empty unless this run may have made it.
    std::string FMadeHere;
};
