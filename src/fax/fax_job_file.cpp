#include "fax/fax_job_file.h"

#include "fax/apf_file.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace {

template <class T> void Put(uint8_t* at, T value)
{
    std::memcpy(at, &value, sizeof value); // little-endian host, unaligned
}

template <class T> T Get(const uint8_t* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A length byte and the text, the rest of the field zero.
void PutShort(uint8_t* at, std::size_t maxLen, const std::string& text)
{
    const std::size_t n = std::min(text.size(), maxLen);
    at[0] = static_cast<uint8_t>(n);
    std::memcpy(at + 1, text.data(), n);
}

bool GetShort(const uint8_t* at, std::size_t maxLen, std::string& out)
{
    if (at[0] > maxLen)
        return false;
    out.assign(reinterpret_cast<const char*>(at + 1), at[0]);
    return true;
}

std::string Cut(const std::string& s, std::size_t n)
{
    return s.size() > n ? s.substr(0, n) : s;
}

bool Exists(const std::string& fileName)
{
    std::error_code ec;
    return !fileName.empty() && std::filesystem::is_regular_file(fileName, ec);
}

bool HasApfSignature(std::string_view bytes)
{
    return bytes.size() >= kApfHeaderSize &&
           std::equal(kApfSignature.begin(), kApfSignature.end(),
                      reinterpret_cast<const uint8_t*>(bytes.data()));
}

bool SafeJobName(const std::string& name)
{
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos &&
           name != "." && name != "..";
}

} // namespace

[[noreturn]] void RaiseFileError(int err)
{
    CheckException(nullptr, FileErrorCode(err));
    throw EInOutError(5, "File access denied"); // not reached: file codes always raise
}

std::string ReadFileBytes(const std::string& fileName)
{
    std::FILE* f = std::fopen(fileName.c_str(), "rb");
    if (!f)
        RaiseFileError(errno);
    std::string data;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.append(buf, n);
    const bool failed = std::ferror(f);
    const int err = errno;
    std::fclose(f);
    if (failed)
        RaiseFileError(err);
    return data;
}

void WriteFileBytes(const std::string& fileName, std::string_view data)
{
    try {
        WriteFileAtomic(fileName, data);
    } catch (const std::system_error& e) {
        RaiseFileError(e.code().value());
    }
}

// ---------------------------------------------------------------- records

std::array<uint8_t, kJobHeaderSize> TFaxJobHeaderRec::Encode() const
{
    std::array<uint8_t, kJobHeaderSize> b{};
    std::memcpy(b.data(), ID.data(), 4);
    b[4] = Status;
    PutShort(&b[5], kJobNameLen, JobName);
    PutShort(&b[26], kSenderLen, Sender);
    Put<double>(&b[67], SchedDT);
    b[75] = NumRecipients;
    b[76] = NextRecipient;
    Put<uint32_t>(&b[77], CoverOffset);
    Put<uint32_t>(&b[81], FaxOffset);
    return b;
}

bool TFaxJobHeaderRec::Decode(const uint8_t* b, TFaxJobHeaderRec& out, std::string& why)
{
    std::memcpy(out.ID.data(), b, 4);
    if (out.ID != kJobSignature) {
        why = "no \"APJ0\" signature";
        return false;
    }
    out.Status = b[4];
    if (!GetShort(&b[5], kJobNameLen, out.JobName) || !GetShort(&b[26], kSenderLen, out.Sender)) {
        why = "a header text is longer than its field";
        return false;
    }
    if (!SafeJobName(out.JobName)) {
        why = "the job name is not a file name";
        return false;
    }
    out.SchedDT = Get<double>(&b[67]);
    out.NumRecipients = b[75];
    out.NextRecipient = b[76];
    out.CoverOffset = Get<uint32_t>(&b[77]);
    out.FaxOffset = Get<uint32_t>(&b[81]);
    return true;
}

std::array<uint8_t, kJobRecipientSize> TFaxRecipientRec::Encode() const
{
    std::array<uint8_t, kJobRecipientSize> b{};
    b[0] = Status;
    b[1] = JobID;
    Put<double>(&b[2], SchedDT);
    b[10] = AttemptNum;
    Put<uint16_t>(&b[11], LastResult);
    PutShort(&b[13], kPhoneNumberLen, PhoneNumber);
    PutShort(&b[64], kHeaderLineLen, HeaderLine);
    PutShort(&b[165], kHeaderRecipientLen, HeaderRecipient);
    PutShort(&b[196], kHeaderTitleLen, HeaderTitle);
    return b;
}

bool TFaxRecipientRec::Decode(const uint8_t* b, TFaxRecipientRec& out, std::string& why)
{
    out.Status = b[0];
    out.JobID = b[1];
    out.SchedDT = Get<double>(&b[2]);
    out.AttemptNum = b[10];
    out.LastResult = Get<uint16_t>(&b[11]);
    if (!GetShort(&b[13], kPhoneNumberLen, out.PhoneNumber) ||
        !GetShort(&b[64], kHeaderLineLen, out.HeaderLine) ||
        !GetShort(&b[165], kHeaderRecipientLen, out.HeaderRecipient) ||
        !GetShort(&b[196], kHeaderTitleLen, out.HeaderTitle)) {
        why = "a recipient text is longer than its field";
        return false;
    }
    return true;
}

EFaxBadJobFile::EFaxBadJobFile(const std::string& fileName, const std::string& why)
    : EFax(AdErr::ecFaxBadFormat, "Not a fax job file: " + fileName + " (" + why + ")")
{
}

// ---------------------------------------------------------------- whole job

TFaxJob TFaxJob::Load(const std::string& fileName)
{
    const std::string data = ReadFileBytes(fileName);
    const auto* b = reinterpret_cast<const uint8_t*>(data.data());
    const auto bad = [&](const std::string& why) { return EFaxBadJobFile(fileName, why); };
    TFaxJob job;
    std::string why;
    if (data.size() < kJobHeaderSize)
        throw bad("shorter than a job header");
    if (!TFaxJobHeaderRec::Decode(b, job.Header, why))
        throw bad(why);
    const TFaxJobHeaderRec& h = job.Header;
    if (h.NumRecipients == 0)
        throw bad("no recipients");
    if (h.NextRecipient >= h.NumRecipients)
        throw bad("next recipient out of range");
    const std::size_t recordsEnd = kJobHeaderSize + h.NumRecipients * kJobRecipientSize;
    if (data.size() < recordsEnd)
        throw bad("fewer recipient records than counted");
    if (h.FaxOffset < recordsEnd || h.FaxOffset > data.size())
        throw bad("fax offset out of range");
    if (h.CoverOffset != 0 && (h.CoverOffset < recordsEnd || h.CoverOffset > h.FaxOffset))
        throw bad("cover offset out of range");
    job.Recipients.resize(h.NumRecipients);
    for (unsigned i = 0; i < h.NumRecipients; ++i) {
        TFaxRecipientRec& r = job.Recipients[i];
        if (!TFaxRecipientRec::Decode(b + kJobHeaderSize + i * kJobRecipientSize, r, why))
            throw bad(why);
        if (r.JobID != i)
            throw bad("recipient record " + std::to_string(i) + " says it is " +
                      std::to_string(r.JobID));
    }
    if (h.CoverOffset != 0)
        job.Cover = data.substr(h.CoverOffset, h.FaxOffset - h.CoverOffset);
    job.Fax = data.substr(h.FaxOffset);
    if (!HasApfSignature(job.Fax))
        throw bad("no APF fax at the fax offset");
    return job;
}

std::string TFaxJob::Encode()
{
    Header.NumRecipients = static_cast<uint8_t>(Recipients.size());
    uint32_t at = static_cast<uint32_t>(kJobHeaderSize + Recipients.size() * kJobRecipientSize);
    Header.CoverOffset = Cover ? at : 0;
    if (Cover)
        at += static_cast<uint32_t>(Cover->size());
    Header.FaxOffset = at;
    std::string out;
    out.reserve(at + Fax.size());
    const auto h = Header.Encode();
    out.append(reinterpret_cast<const char*>(h.data()), h.size());
    for (const TFaxRecipientRec& r : Recipients) {
        const auto e = r.Encode();
        out.append(reinterpret_cast<const char*>(e.data()), e.size());
    }
    if (Cover)
        out += *Cover;
    out += Fax;
    return out;
}

void TFaxJob::Save(const std::string& fileName)
{
    WriteFileBytes(fileName, Encode());
}

void TFaxJob::RecomputeStatus()
{
    unsigned sum = 0;
    for (const TFaxRecipientRec& r : Recipients)
        sum += r.Status;
    Header.Status = sum == 0                       ? kJobUnhandled
                    : sum == 2 * Recipients.size() ? kJobHandled
                                                   : kJobInHand;
}

void TFaxJob::RecomputeNext()
{
    int best = -1;
    for (std::size_t i = 0; i < Recipients.size(); ++i)
        if (Recipients[i].Status == kJobUnhandled &&
            (best < 0 ||
             Recipients[i].SchedDT < Recipients[static_cast<std::size_t>(best)].SchedDT))
            best = static_cast<int>(i);
    Header.NextRecipient = static_cast<uint8_t>(std::max(best, 0));
    if (best >= 0)
        Header.SchedDT = Recipients[static_cast<std::size_t>(best)].SchedDT;
}

bool TFaxJob::RecomputeWaiting()
{
    if (std::none_of(Recipients.begin(), Recipients.end(),
                     [](const TFaxRecipientRec& r) { return r.Status == kJobUnhandled; }))
        return false;
    RecomputeNext();
    return true;
}

TFaxRecipientRec& TFaxJob::Recipient(unsigned index)
{
    if (index >= Recipients.size())
        throw std::out_of_range("Job number out of bounds");
    return Recipients[index];
}

// ---------------------------------------------------------------- joining APF files

void ConcatApfFiles(const std::string& dest, const std::vector<std::string>& sources)
{
    if (sources.empty())
        throw EFaxBadFormat(AdErr::ecFaxBadFormat, "No fax files to join");
    std::string out;
    TFaxHeaderRec first;
    unsigned pages = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const std::string data = ReadFileBytes(sources[i]);
        if (!HasApfSignature(data))
            CheckException(nullptr, AdErr::ecFaxBadFormat);
        const TFaxHeaderRec h =
            TFaxHeaderRec::Decode(reinterpret_cast<const uint8_t*>(data.data()));
        pages += h.PageCount;
        if (i == 0) {
            first = h;
            out = data;
        } else {
            // Pages run from the header's first-page offset to the end.
            out.append(data, std::clamp<std::size_t>(h.PageOfs, kApfHeaderSize, data.size()));
        }
    }
    if (pages > 0xFFFF)
        throw EFaxBadFormat(AdErr::ecFaxBadFormat, "Too many pages for one fax file");
    first.PageCount = static_cast<uint16_t>(pages);
    const auto h = first.Encode();
    std::copy(h.begin(), h.end(), out.begin());
    WriteFileBytes(dest, out);
}

// ---------------------------------------------------------------- job handler

TApdFaxJobHandler::TApdFaxJobHandler(QObject* owner) : TApdBaseComponent(owner) {}

void TApdFaxJobHandler::MakeJob(const std::string& faxFile, const std::string& coverFile,
                                const std::string& jobName, const std::string& sender,
                                const std::string& jobFileName, const TFaxRecipientRec& recipient)
{
    TFaxJob job;
    job.Fax = ReadFileBytes(faxFile);
    if (!HasApfSignature(job.Fax))
        CheckException(this, AdErr::ecFaxBadFormat);
    job.Header.JobName = Cut(jobName, TFaxJobHeaderRec::kJobNameLen);
    if (!SafeJobName(job.Header.JobName))
        CheckException(this, AdErr::ecBadArgument);
    job.Header.Sender = Cut(sender, TFaxJobHeaderRec::kSenderLen);
    job.Header.SchedDT = recipient.SchedDT;
    TFaxRecipientRec r = recipient;
    r.Status = kJobUnhandled;
    r.JobID = 0;
    r.AttemptNum = 0;
    r.LastResult = 0;
    job.Recipients.push_back(r);
    if (Exists(coverFile))
        job.Cover = ReadFileBytes(coverFile);
    job.Save(jobFileName);
}

void TApdFaxJobHandler::AddRecipient(const std::string& jobFile, const TFaxRecipientRec& recipient)
{
    TFaxJob job = TFaxJob::Load(jobFile);
    if (job.Recipients.size() >= 255)
        CheckException(this, AdErr::ecBadArgument);
    TFaxRecipientRec r = recipient;
    r.Status = kJobUnhandled;
    r.JobID = static_cast<uint8_t>(job.Recipients.size());
    r.AttemptNum = 0;
    r.LastResult = 0;
    job.Recipients.push_back(r);
    if (r.SchedDT < job.Header.SchedDT) {
        job.Header.SchedDT = r.SchedDT;
        job.Header.NextRecipient = r.JobID;
    }
    job.Save(jobFile);
}

void TApdFaxJobHandler::GetJobHeader(const std::string& jobFile, TFaxJobHeaderRec& jobHeader)
{
    jobHeader = TFaxJob::Load(jobFile).Header;
}

int TApdFaxJobHandler::GetRecipient(const std::string& jobFile, int index,
                                    TFaxRecipientRec& recipient)
{
    const TFaxJob job = TFaxJob::Load(jobFile);
    if (index < 0 || static_cast<std::size_t>(index) >= job.Recipients.size())
        return -100;
    recipient = job.Recipients[static_cast<std::size_t>(index)];
    return 0;
}

int TApdFaxJobHandler::GetRecipientStatus(const std::string& jobFile, int jobID)
{
    TFaxRecipientRec r;
    return GetRecipient(jobFile, jobID, r) == 0 ? r.Status : -1;
}

void TApdFaxJobHandler::ResetRecipientStatus(const std::string& jobFile, int jobID,
                                             uint8_t newStatus)
{
    TFaxJob job = TFaxJob::Load(jobFile);
    job.Recipient(static_cast<unsigned>(jobID)).Status = newStatus;
    job.RecomputeStatus();
    job.RecomputeWaiting();
    job.Save(jobFile);
}

void TApdFaxJobHandler::CancelRecipient(const std::string& jobFile, int jobID)
{
    TFaxJob job = TFaxJob::Load(jobFile);
    TFaxRecipientRec& r = job.Recipient(static_cast<unsigned>(jobID));
    r.Status = kJobHandled;
    r.LastResult = static_cast<uint16_t>(AdErr::ecCancelRequested);
    job.RecomputeStatus();
    job.RecomputeWaiting();
    job.Save(jobFile);
}

void TApdFaxJobHandler::ResetAPJStatus(const std::string& jobFile)
{
    TFaxJob job = TFaxJob::Load(jobFile);
    job.Header.Status = kJobUnhandled;
    for (TFaxRecipientRec& r : job.Recipients)
        r.Status = kJobUnhandled;
    job.RecomputeWaiting();
    job.Save(jobFile);
}

void TApdFaxJobHandler::ResetAPJPartials(const std::string& jobFile, bool resetAttempts)
{
    TFaxJob job = TFaxJob::Load(jobFile);
    job.Header.Status = kJobUnhandled;
    for (TFaxRecipientRec& r : job.Recipients)
        if (r.Status == kJobInHand) {
            r.Status = kJobUnhandled;
            if (resetAttempts)
                r.AttemptNum = 0;
        }
    job.RecomputeWaiting();
    job.Save(jobFile);
}

void TApdFaxJobHandler::RescheduleJob(const std::string& jobFile, int recipientNum,
                                      TDateTime newSchedDT, bool resetStatus)
{
    if (!Exists(jobFile))
        return;
    TFaxJob job = TFaxJob::Load(jobFile);
    if (recipientNum < 0)
        throw std::out_of_range("Job number out of bounds");
    TFaxRecipientRec& r = job.Recipient(static_cast<unsigned>(recipientNum));
    r.SchedDT = newSchedDT;
    if (resetStatus) {
        r.Status = kJobUnhandled;
        job.RecomputeStatus();
    }
    // The job is due when its first unhandled recipient is: a recipient put
    // back for a retry must not leave the job due at its old time.
    if (!job.RecomputeWaiting() && newSchedDT < job.Header.SchedDT) {
        job.Header.SchedDT = newSchedDT;
        job.Header.NextRecipient = static_cast<uint8_t>(recipientNum);
    }
    job.Save(jobFile);
}

void TApdFaxJobHandler::ExtractAPF(const std::string& jobFile, const std::string& faxFile)
{
    WriteFileBytes(faxFile, TFaxJob::Load(jobFile).Fax);
}

bool TApdFaxJobHandler::ExtractCoverFile(const std::string& jobFile, const std::string& coverFile)
{
    const TFaxJob job = TFaxJob::Load(jobFile);
    if (!job.Cover)
        return false;
    WriteFileBytes(coverFile, *job.Cover);
    return true;
}

void TApdFaxJobHandler::ConcatFaxes(const std::string& destFaxFile,
                                    const std::vector<std::string>& faxFiles)
{
    ConcatApfFiles(destFaxFile, faxFiles);
}

// ---------------------------------------------------------------- client

TApdFaxClient::TApdFaxClient(QObject* owner) : TApdFaxJobHandler(owner)
{
    Recipient_.SchedDT = Now();
}

void TApdFaxClient::SetPhoneNumber(const std::string& value)
{
    Recipient_.PhoneNumber = Cut(value, TFaxRecipientRec::kPhoneNumberLen);
}

void TApdFaxClient::SetHeaderLine(const std::string& value)
{
    Recipient_.HeaderLine = Cut(value, TFaxRecipientRec::kHeaderLineLen);
}

void TApdFaxClient::SetHeaderRecipient(const std::string& value)
{
    Recipient_.HeaderRecipient = Cut(value, TFaxRecipientRec::kHeaderRecipientLen);
}

void TApdFaxClient::SetHeaderTitle(const std::string& value)
{
    Recipient_.HeaderTitle = Cut(value, TFaxRecipientRec::kHeaderTitleLen);
}

void TApdFaxClient::MakeFaxJob()
{
    MakeJob(FaxFileName, CoverFileName, JobName, Sender, JobFileName, Recipient_);
}

int TApdFaxClient::CopyJobToServer(const std::string& sourceJob, const std::string& destJob,
                                   bool overwrite)
{
    std::error_code ec;
    if (!overwrite && std::filesystem::exists(destJob, ec))
        return kJobExists;
    WriteFileBytes(destJob, ReadFileBytes(sourceJob));
    return 0;
}
