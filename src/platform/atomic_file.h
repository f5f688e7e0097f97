#pragma once

#include <string>
#include <string_view>

// Files are replaced whole: data goes to a temporary file beside the target,
// is flushed to disk, and is renamed over it, so a crash leaves either the old
// file or the new one. Throws std::system_error on failure (the target is then
// untouched). A replaced file keeps its permission bits, a new one gets
// newMode; after the rename the directory is synced, so the new entry
// survives a power cut.
void WriteFileAtomic(const std::string& path, std::string_view data, unsigned newMode = 0600);

// Gives the finished file `temp` the name `path` without ever replacing a
// file: where that name is taken, the first free one of "<stem>-1<ext>",
// "<stem>-2<ext>", ... (the extension is what follows the last dot of the
// last path element). Returns the name it got; throws std::system_error
// (`temp` is then left as it was).
std::string RenameNoReplace(const std::string& temp, const std::string& path);

// A file that has no name until it is committed (O_TMPFILE in the folder of
// `path`), so that a writer killed by a signal no handler sees (SIGKILL)
// leaves nothing behind. Where the file system has no such files (or /proc
// is not there to name them by), a named temporary file beside `path`,
// "<path>.skipmail-part-XXXXXX" (`tempName` then says which; empty for an
// unnamed one), which its writer holds locked (flock) while it is open.
// `signature` is what every file of this writer begins with.
//
// The next writer into that folder removes the temporaries whose writer was
// killed, and only what it knows beyond doubt to be one of them: a name
// that is a stem, the mark ".skipmail-part-" (which no file of a user's
// carries) and six of mkstemp's letters or digits, where the stem has the
// extension of the name being written (any case: writing FAX9.APF takes
// out.apf's); a regular file of this process's user that no one holds
// locked; and holding nothing yet, or bytes that begin as `signature`
// does. Anything else stays as found: a user's own "notes.part-000001", a
// file of another pattern or an earlier one ("<name>.part-XXXXXX"), a link,
// a folder, another user's file, a file still being written.
//
// Returns the descriptor, open for reading and writing with the mode
// `mode`, or -1 with errno.
int OpenUnnamed(const std::string& path, unsigned mode, std::string& tempName,
                std::string_view signature);

// Gives the file open on `fd` (from OpenUnnamed) its name: CommitOver
// replaces a file at `path`, CommitNoReplace takes the first free name as
// RenameNoReplace does and returns it. The descriptor stays open; throws
// std::system_error, and the file then has no name.
void CommitOver(int fd, const std::string& tempName, const std::string& path);
std::string CommitNoReplace(int fd, const std::string& tempName, const std::string& path);

// Flushes the directory's entries to disk (after a rename or link into it
// that commits a file). Nothing when it cannot be opened.
void SyncDirectory(const std::string& dir);

// The same as WriteFileAtomic for data that comes in pieces (a large
// attachment, a mapped message): nothing appears under the name until Commit,
// and a writer dropped before it removes its temporary file.
class TAtomicFileWriter {
public:
    // Creates the temporary file beside path, with the permission bits of
    // the file it replaces or else newMode; throws std::system_error.
    explicit TAtomicFileWriter(const std::string& path, unsigned newMode = 0600);
    ~TAtomicFileWriter();
    TAtomicFileWriter(const TAtomicFileWriter&) = delete;
    TAtomicFileWriter& operator=(const TAtomicFileWriter&) = delete;

    // Throws std::system_error; the writer is then spent.
    void Write(std::string_view data);
    // Flushes to disk, renames over the target and syncs the directory;
    // throws std::system_error.
    void Commit();

private:
    void Abandon();

    std::string FPath;
    std::string FTemp;
    int FFd = -1;
};

// The mode a file this process makes gets: 0666 less its umask.
unsigned NewFileMode();

// Appends the bytes to the file, creating it when missing (logs). False when
// the file cannot be opened or not all of the bytes reach it.
bool AppendToFile(const std::string& path, std::string_view data);

// Reads a whole file; false when it cannot be opened or a read fails (a
// directory, an I/O error), and `out` is then left as it was.
bool ReadWholeFile(const std::string& path, std::string& out);

// Reads what is left of an open file, but never more than `limit` bytes of
// it (one more tells that there is more): false when a read fails, or with
// errno EFBIG when there is more than `limit` (the file may have grown since
// it was measured); `out` is then left as it was.
bool ReadAtMost(int fd, size_t limit, std::string& out);

// Test hook: called with the temporary file's name after it is written and
// flushed and before it is renamed over the target (tests end the process
// there to show that the old file survives). Null removes it.
using TAtomicWriteHook = void (*)(const std::string& tempPath);
void SetAtomicWriteHook(TAtomicWriteHook hook);
