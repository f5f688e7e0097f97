#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Every mail item at rest is a message file "N.msg". In the queue, in the
// stations' outgoing directories and in the gateway outbox it begins with
// envelope lines "RCPT: " + address, one per recipient, followed by the
// RFC 822 text; in a user's mailbox it holds the RFC 822 text alone.
//
// Mail that a client outside the station's networks handed to the SMTP
// server (see mail/relay_rule.h) carries one more envelope line after the
// RCPT lines, "X-Outside-Client: " + the client's address, in the queue and
// in the copies for other stations: nothing returned for it may leave the HF
// network. Files without it are mail from inside, as all older files are;
// readers that know only RCPT lines take it for the first header line.
//
// All directory names come from platform/data_root.h (DirName::...).
namespace MessageStore {

inline constexpr std::string_view kEnvelopePrefix = "RCPT: ";
inline constexpr std::string_view kOutsidePrefix = "X-Outside-Client: ";
inline constexpr std::string_view kExtension = ".msg";
// Enough of a line's start to tell whether it is an envelope line.
inline constexpr size_t kEnvelopeTagLength = 17;

// A user, mailbox or station name that can name a directory: not empty, not
// "." or "..", and without "/", "\\", NUL or line breaks.
bool IsSafeName(const std::string& name);

// Calls `fn` with the name of every entry of the directory ("." and ".."
// too); false when the directory cannot be read. The directory is closed
// however `fn` leaves.
bool ForEachName(const std::string& dir, const std::function<void(const std::string&)>& fn);

// Data root + "/" + one of the DirName constants.
std::string DirPath(const char* dirName);
// MAIL/<user>; throws std::invalid_argument for a name that fails IsSafeName.
std::string UserMailDir(const std::string& user);
// STATIONS/<station>; throws std::invalid_argument likewise.
std::string StationDir(const std::string& station);

// Creates the directory and its parents, each 0700 (the user's alone); true
// when it exists afterwards.
bool EnsureDirectory(const std::string& path);
// Creates every fixed working directory (QUEUE, MAIL and its GATEWAY, admin,
// FAX and Fax2 mailboxes, STATIONS, TEMP, TEMP/STATIONS, TEMP/SMTP, Files,
// LOGS, OUTFAX); gives the paths that could not be created.
std::vector<std::string> CreateWorkingDirectories();

// True for a name ending in ".msg" (any letter case).
bool IsMessageFileName(const std::string& name);
// The base name of a message file as an unsigned 64-bit number: decimal
// digits only. False for other names (and for numbers beyond 64 bits).
bool ParseMessageNumber(const std::string& fileName, std::uint64_t& number);

struct TMessageFile {
    std::string Name; // file name without directory
    std::uint64_t Size;
};

// The message files of a directory (regular files only), numbered ones in
// numeric order, then the others by name. A missing directory gives none.
std::vector<TMessageFile> ListMessages(const std::string& dir);

// One more than the largest numeric base name among the directory's message
// files (1 for none). `nonNumeric`, when given, receives the number of
// message files whose base name is not a number. A directory is read whole
// once; after that the kernel's notes of its changes, whoever makes them,
// keep its names, so the cost does not grow with the number of files. The
// notes can mislead it (an exchange of two names reads like two renames, and
// a file system that another host writes gives none of that host's changes),
// so the number may be taken: the writers below find that by their exclusive
// claim, and the directory is then read whole again.
std::uint64_t NextMessageNumber(const std::string& dir, int* nonNumeric = nullptr);
// Tests only: drops the kernel's notes of the changes made so far, as a file
// system that another host writes (NFS, SMB, a FUSE mount written from
// underneath) gives none of that host's changes.
void DropChangeNotesForTest();

// Stores `content` as the next numbered message file of `dir` and gives its
// full path. The content is written to a temporary name and flushed first;
// the number is then claimed by an exclusive link under one process-wide
// lock, so concurrent writers never share a number and no reader ever sees
// half a message. A number found taken makes the numbering read `dir` again
// and try the next (a bounded number of times), so a directory with a free
// number always gives one. Throws std::system_error when the file cannot be
// written.
std::string WriteNewMessage(const std::string& dir, std::string_view content,
                            int* nonNumeric = nullptr);
// The same with content that `produce` hands to its writer in pieces, so a
// message of any size is stored in little memory. An exception from
// `produce` leaves nothing behind and goes on to the caller.
using TContentWriter = std::function<void(std::string_view piece)>;
std::string WriteNewMessageFrom(const std::string& dir,
                                const std::function<void(const TContentWriter&)>& produce,
                                int* nonNumeric = nullptr);

// Stores `content` as "<number>.msg" in `dir`, or under the next number up
// when that name is taken (names made from a clock may meet), in the same
// crash-safe and exclusive way as WriteNewMessage, and gives its full path.
std::string WriteMessageAs(const std::string& dir, std::uint64_t number, std::string_view content);

// Gives a finished, flushed file the next number of `dir` as WriteNewMessage
// does (the file then has that name only) and gives the new path. A file on
// another file system is copied. Throws std::system_error when it cannot be
// stored; the file is then left where it was.
std::string AdoptNewMessage(const std::string& dir, const std::string& file,
                            int* nonNumeric = nullptr);

// Gives the file `from` the name `to` unless `to` exists (a hard link, or a
// check and a rename where the file system has none); 0 or an errno value,
// EEXIST when the name is taken. The caller syncs the directory.
int ClaimName(const std::string& from, const std::string& to);

// Removes temporaries that a writer killed mid-write left in `dir`: a new
// message's, and a whole-file write's of a message, table, INI or log file.
// Only safe while nobody writes there.
void RemoveStaleTemporaries(const std::string& dir);
// The same in the data root, QUEUE and every mailbox and station directory;
// the start-up runs it before anything writes.
void RemoveStaleTemporariesEverywhere();

// "RCPT: " + address + CR LF for each recipient, in the given order, then
// the outside client's line when there is one, then the message.
std::string AddEnvelope(const std::vector<std::string>& recipients, std::string_view message,
                        std::string_view outsideClient = {});

struct TEnvelope {
    std::vector<std::string> Recipients;
    // The address of the client outside the station's networks that handed
    // the message in ("unknown" when the line names none); empty for mail
    // from inside.
    std::string OutsideClient;
};
// Whether a line (without its line end) is an envelope line: it begins with
// "RCPT:" or "X-Outside-Client:" in any letter case.
bool IsEnvelopeLine(std::string_view line);
// The leading envelope lines of a message file; each gives the rest of its
// line without blanks around it. `body`, when given, receives the rest of
// the file unchanged.
TEnvelope ReadEnvelope(std::string_view content, std::string* body = nullptr);
// ReadEnvelope's recipients alone.
std::vector<std::string> SplitEnvelope(std::string_view content, std::string* body = nullptr);

} // namespace MessageStore
