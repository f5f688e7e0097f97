#pragma once

#include "platform/date_time.h"
#include "serial/ad_component.h"
#include "serial/ad_except.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Fax job files (".APJ"): a 128-byte header, one 256-byte record per
// recipient, an optional cover text and a whole APF fax, so that one file
// carries everything a fax server needs to send it. Integers are
// little-endian, date-times are IEEE doubles (days since 30 December 1899)
// at unaligned offsets, texts are length-prefixed in fixed zero-filled
// fields.
//
// Choices made here:
// - A job file is read whole and checked before anything uses it: the
//   "APJ0" signature, a recipient count of at least one, the next-recipient
//   index, record indexes, text lengths within their fields, the cover and
//   fax offsets inside the file and in order, an APF signature at the fax
//   offset, and a job name that cannot leave a folder (no "/", not "." or
//   ".."). A file that fails raises EFaxBadJobFile and is never changed.
// - Every change writes the whole file to a temporary name and renames it
//   over the old one, so a crash leaves the old job or the new one.
// - Joining APF files writes the result the same way, and an empty list of
//   files is refused (nothing is created), as is a join whose page count
//   would not fit the header's 16 bits.
// - Folder names keep their case (Linux names are case-sensitive).

inline constexpr std::size_t kJobHeaderSize = 128;
inline constexpr std::size_t kJobRecipientSize = 256;
inline constexpr std::array<char, 4> kJobSignature{'A', 'P', 'J', '0'};

// Header and recipient Status values.
inline constexpr uint8_t kJobUnhandled = 0;
inline constexpr uint8_t kJobInHand = 1;
inline constexpr uint8_t kJobHandled = 2;

// LastResult of a recipient whose port could not be opened.
inline constexpr int kJobPortNotOpen = 2007;

struct TFaxJobHeaderRec {
    std::array<char, 4> ID = kJobSignature;
    uint8_t Status = kJobUnhandled;
    std::string JobName; // at most 20 characters
    std::string Sender;  // at most 40 characters
    TDateTime SchedDT = 0;
    uint8_t NumRecipients = 0;
    uint8_t NextRecipient = 0;
    uint32_t CoverOffset = 0;
    uint32_t FaxOffset = 0;

    static constexpr std::size_t kJobNameLen = 20;
    static constexpr std::size_t kSenderLen = 40;

    std::array<uint8_t, kJobHeaderSize> Encode() const;
    // False (and `why` filled) when the bytes do not hold a header.
    static bool Decode(const uint8_t* bytes, TFaxJobHeaderRec& out, std::string& why);
};

struct TFaxRecipientRec {
    uint8_t Status = kJobUnhandled;
    uint8_t JobID = 0;
    TDateTime SchedDT = 0;
    uint8_t AttemptNum = 0;
    uint16_t LastResult = 0; // low 16 bits of the last attempt's error code
    std::string PhoneNumber;
    std::string HeaderLine;
    std::string HeaderRecipient;
    std::string HeaderTitle;

    static constexpr std::size_t kPhoneNumberLen = 50;
    static constexpr std::size_t kHeaderLineLen = 100;
    static constexpr std::size_t kHeaderRecipientLen = 30;
    static constexpr std::size_t kHeaderTitleLen = 30;

    // LastResult as the signed error code it was made from (-6005 for a
    // cancel; 2007 stays 2007).
    int LastResultCode() const { return static_cast<int16_t>(LastResult); }

    std::array<uint8_t, kJobRecipientSize> Encode() const;
    static bool Decode(const uint8_t* bytes, TFaxRecipientRec& out, std::string& why);
};

// A job file that is not one.
class EFaxBadJobFile : public EFax {
public:
    EFaxBadJobFile(const std::string& fileName, const std::string& why);
};

// A whole job file in memory.
struct TFaxJob {
    TFaxJobHeaderRec Header;
    std::vector<TFaxRecipientRec> Recipients;
    std::optional<std::string> Cover; // cover text bytes, when the job has one
    std::string Fax;                  // the APF file, its own header included

    // Reads and checks the file: EFaxBadJobFile when it is not a job file,
    // the runtime's file errors when it cannot be read.
    static TFaxJob Load(const std::string& fileName);
    // Offsets and counts are set from the parts; the file is replaced whole.
    void Save(const std::string& fileName);
    std::string Encode();

    // Header Status from the recipients: all 0 gives 0, all 2 gives 2,
    // anything else 1.
    void RecomputeStatus();
    // The unhandled recipient due first (strictly earlier wins, from index
    // 0) becomes NextRecipient and gives the header its time; without one
    // NextRecipient is 0 and the time stays.
    void RecomputeNext();
    // RecomputeNext when a recipient waits; false (nothing changed) when
    // none does. Every change of statuses or times ends with it, so the job
    // is next due with a recipient that really waits.
    bool RecomputeWaiting();
    // The recipient at that index: out_of_range "Job number out of bounds".
    TFaxRecipientRec& Recipient(unsigned index);
};

// Whole-file reads and atomic writes that raise the runtime's file errors.
[[noreturn]] void RaiseFileError(int err);
std::string ReadFileBytes(const std::string& fileName);
void WriteFileBytes(const std::string& fileName, std::string_view data);

// Joins APF files into `dest`: the first whole, the pages of each further
// one after it, the page counts summed into the first header. EFaxBadFormat
// for a file without the APF signature (or an empty list, or more pages than
// the header can count), file errors for a file that cannot be read.
void ConcatApfFiles(const std::string& dest, const std::vector<std::string>& sources);

// Operations on one job file each.
class TApdFaxJobHandler : public TApdBaseComponent {
    Q_OBJECT
public:
    explicit TApdFaxJobHandler(QObject* owner = nullptr);

    void MakeJob(const std::string& faxFile, const std::string& coverFile,
                 const std::string& jobName, const std::string& sender,
                 const std::string& jobFileName, const TFaxRecipientRec& recipient);
    void AddRecipient(const std::string& jobFile, const TFaxRecipientRec& recipient);
    void GetJobHeader(const std::string& jobFile, TFaxJobHeaderRec& jobHeader);
    // 0 and the record, or -100 for an index outside the job.
    int GetRecipient(const std::string& jobFile, int index, TFaxRecipientRec& recipient);
    // The recipient's Status, -1 for an index outside the job.
    int GetRecipientStatus(const std::string& jobFile, int jobID);
    void ResetRecipientStatus(const std::string& jobFile, int jobID, uint8_t newStatus);
    // Handled, with the cancel code as its last result.
    void CancelRecipient(const std::string& jobFile, int jobID);
    void ResetAPJStatus(const std::string& jobFile);
    // Recipients left in hand become unhandled (and, asked, get their
    // attempts back).
    void ResetAPJPartials(const std::string& jobFile, bool resetAttempts);
    // Nothing for a missing file. A recipient moved later is not due before
    // its time.
    void RescheduleJob(const std::string& jobFile, int recipientNum, TDateTime newSchedDT,
                       bool resetStatus);
    void ExtractAPF(const std::string& jobFile, const std::string& faxFile);
    // False, and nothing written, when the job has no cover.
    bool ExtractCoverFile(const std::string& jobFile, const std::string& coverFile);
    void ConcatFaxes(const std::string& destFaxFile, const std::vector<std::string>& faxFiles);
    void ShowFaxJobInfoDialog(const std::string& jobFile, const std::string& dlgCaption);
};

// Writes job files for a fax server to send.
class TApdFaxClient : public TApdFaxJobHandler {
    Q_OBJECT
public:
    explicit TApdFaxClient(QObject* owner = nullptr);

    std::string CoverFileName;
    std::string FaxFileName;
    std::string JobFileName;
    std::string JobName;
    std::string Sender;

    const std::string& PhoneNumber() const { return Recipient_.PhoneNumber; }
    void SetPhoneNumber(const std::string& value);
    const std::string& HeaderLine() const { return Recipient_.HeaderLine; }
    void SetHeaderLine(const std::string& value);
    const std::string& HeaderRecipient() const { return Recipient_.HeaderRecipient; }
    void SetHeaderRecipient(const std::string& value);
    const std::string& HeaderTitle() const { return Recipient_.HeaderTitle; }
    void SetHeaderTitle(const std::string& value);
    TDateTime ScheduleDateTime() const { return Recipient_.SchedDT; }
    void SetScheduleDateTime(TDateTime value) { Recipient_.SchedDT = value; }

    void MakeFaxJob();
    // -80 when `destJob` exists and may not be replaced, else 0.
    int CopyJobToServer(const std::string& sourceJob, const std::string& destJob, bool overwrite);

private:
    TFaxRecipientRec Recipient_;
};

inline constexpr int kJobExists = -80;
