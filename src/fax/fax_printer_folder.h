#pragma once

#include "fax/fax_shell_printer.h"

#include <string>

// The fax printer folder as root reaches it, for the install's folder work
// (tools/printfax/printfax_setup) and for the backend at every job.
//
// Root acts only on folders it has checked and holds. Every folder from "/"
// down to the fax printer folder, the folder itself included, must be
// root's and closed to others' writing, or root's with the sticky bit (as
// /tmp is): no other user can then move, replace or change a folder the
// walk has checked, nor anything in it that root made. The walk opens one
// folder at a time relative to the last one's descriptor, never through a
// link, and checks each by its descriptor; what is done is done through
// those descriptors, never through the names again. A name that changes or
// vanishes between its check and its use is refused. (Run by hand as
// another user than root, the backend takes that user's own folders as it
// would root's.)
namespace FaxPrinter {

// Why a folder is not used: what is wrong, naming the path and who made it,
// and what to do.
struct TRefusal {
    std::string What;
    std::string Todo;
};

// The fax printer folder `path` (a whole name, from "/"), checked as above;
// with `make`, folders that are missing are made one at a time (0755, the
// last one 0700: it stays closed until users/ is in it) and checked after
// making, and `made` names the first one made. Returns its descriptor
// (O_PATH), or one holding -1 with `refusal`. The machine's "/", by any
// name, is refused: it is no fax printer's.
TFd OpenHeldFolder(const std::string& path, bool make, TRefusal& refusal, std::string& made);

// users/ in the held folder `folder` (named `path`): root's and closed to
// others' writing. With `make`, made where missing and set 0755 whatever the
// umask. Returns its descriptor (O_PATH), or one holding -1 with `refusal`.
TFd OpenUsersFolder(int folder, const std::string& path, bool make, TRefusal& refusal);

// The install's folder work on the fax printer folder `path`: the folder
// and users/ in it made or checked as above, users/ set 0755 and the folder
// opened to every user with the sticky bit (1777). Only a folder made here,
// or one that is the fax printer's already (it holds users/), is opened: a
// folder that was there without users/, even an empty one (/usr/local/sbin),
// or that holds anything but users/ and the station's request folders
// (another folder of root's, /etc; the faxes of the layout before users/,
// which are said to be moved) is refused, never opened. False with the
// words to say, which tell what was changed (nothing, as a rule).
bool SetUpFolder(const std::string& path, std::string& said);

} // namespace FaxPrinter
