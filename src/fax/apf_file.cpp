#include "fax/apf_file.h"

#include "platform/atomic_file.h"
#include "serial/ad_except.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

TFaxHeaderRec TFaxHeaderRec::Fresh()
{
    TFaxHeaderRec h;
    h.Signature = kApfSignature;
    return h;
}

std::array<uint8_t, kApfHeaderSize> TFaxHeaderRec::Encode() const
{
    std::array<uint8_t, kApfHeaderSize> b{};
    std::copy(Signature.begin(), Signature.end(), b.begin());
    Put32(&b[6], FDateTime);
    const std::size_t n = std::min(StationID.size(), kApfStationIdLen);
    b[10] = static_cast<uint8_t>(n);
    std::fill(&b[11], &b[11] + kApfStationIdLen, ' ');
    std::memcpy(&b[11], StationID.data(), n);
    Put16(&b[32], PageCount);
    Put32(&b[34], PageOfs);
    return b;
}

TFaxHeaderRec TFaxHeaderRec::Decode(const uint8_t* bytes)
{
    TFaxHeaderRec h;
    std::copy(bytes, bytes + 6, h.Signature.begin());
    h.FDateTime = Get32(bytes + 6);
    const std::size_t n = std::min<std::size_t>(bytes[10], kApfStationIdLen);
    h.StationID.assign(reinterpret_cast<const char*>(bytes + 11), n);
    h.PageCount = Get16(bytes + 32);
    h.PageOfs = Get32(bytes + 34);
    return h;
}

std::array<uint8_t, kApfPageHeaderSize> TPageHeaderRec::Encode() const
{
    std::array<uint8_t, kApfPageHeaderSize> b{};
    Put32(&b[0], ImgLength);
    Put16(&b[4], ImgFlags);
    return b;
}

TPageHeaderRec TPageHeaderRec::Decode(const uint8_t* bytes)
{
    TPageHeaderRec p;
    p.ImgLength = Get32(bytes);
    p.ImgFlags = Get16(bytes + 4);
    return p;
}

uint32_t DosDateTime(std::time_t when)
{
    std::tm t{};
    localtime_r(&when, &t);
    const int year = std::clamp(t.tm_year + 1900, 1980, 2107);
    const uint32_t date =
        static_cast<uint32_t>((year - 1980) << 9 | (t.tm_mon + 1) << 5 | t.tm_mday);
    const uint32_t time = static_cast<uint32_t>(t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec / 2);
    return date << 16 | time;
}

int FileErrorCode(int err)
{
    switch (err) {
    case ENOENT:
        return AdErr::ecFileNotFound;
    case ENOTDIR:
        return AdErr::ecPathNotFound;
    case EMFILE:
    case ENFILE:
        return AdErr::ecTooManyFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return AdErr::ecAccessDenied;
    case ENOMEM:
        return AdErr::ecOutOfMemory;
    default:
        return AdErr::ecDeviceWrite;
    }
}

bool awIsAnAPFFile(const std::string& fileName)
{
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(fileName.c_str(), "rb"));
    std::array<uint8_t, 6> sig{};
    return f && std::fread(sig.data(), 1, sig.size(), f.get()) == sig.size() &&
           sig == kApfSignature;
}

int ApfReadHeader(const std::string& fileName, TFaxHeaderRec& header)
{
    TApfReader reader;
    const int rc = reader.Open(fileName);
    if (rc == 0)
        header = reader.Header();
    return rc;
}

int ApfReadPageHeader(const std::string& fileName, unsigned page, TPageHeaderRec& header)
{
    TApfReader reader;
    int rc = reader.Open(fileName);
    if (rc == 0 && page > 0)
        rc = reader.SeekPage(page, header);
    return rc;
}

// ---------------------------------------------------------------- reader

TApfReader::~TApfReader()
{
    Close();
}

int ApfJoinFiles(const std::vector<std::string>& parts, const std::string& dest)
{
    std::string out;
    uint32_t pages = 0;
    for (const auto& part : parts) {
        std::string data;
        if (!ReadWholeFile(part, data) || data.size() < kApfHeaderSize)
            return AdErr::ecFaxBadFormat;
        const TFaxHeaderRec header =
            TFaxHeaderRec::Decode(reinterpret_cast<const uint8_t*>(data.data()));
        if (!header.HasSignature())
            return AdErr::ecFaxBadFormat;
        pages += header.PageCount;
        if (out.empty())
            out = std::move(data);
        else
            out.append(data, kApfHeaderSize);
    }
    if (out.empty())
        return AdErr::ecBadArgument;
    if (pages > std::numeric_limits<uint16_t>::max())
        return AdErr::ecBadArgument;
    Put16(reinterpret_cast<uint8_t*>(out.data()) + 32, static_cast<uint16_t>(pages));
    try {
        WriteFileAtomic(dest, out);
    } catch (const std::system_error& e) {
        return FileErrorCode(e.code().value());
    }
    return 0;
}

TApfTempFolder::TApfTempFolder()
{
    std::string name = (std::filesystem::temp_directory_path() / "~APFXXXXXX").string();
    if (!::mkdtemp(name.data()))
        throw std::system_error(errno, std::generic_category(), "temporary folder");
    Dir_ = name;
}

TApfTempFolder::~TApfTempFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(Dir_, ec);
}

std::string TApfTempFolder::Path(unsigned n) const
{
    return Dir_ + "/" + std::to_string(n) + ".APF";
}

int TApfReader::Open(const std::string& fileName)
{
    return OpenFile(fileName, nullptr);
}

int TApfReader::Open(const std::string& fileName, const TFaxHeaderRec& header)
{
    return OpenFile(fileName, &header);
}

int TApfReader::OpenFile(const std::string& fileName, const TFaxHeaderRec* known)
{
    Close();
    if (fileName.empty())
        return AdErr::ecFileNotFound;
    File_ = std::fopen(fileName.c_str(), "rb");
    if (!File_)
        return FileErrorCode(errno);
    if (std::fseek(File_, 0, SEEK_END) != 0) {
        Close();
        return AdErr::ecDeviceRead;
    }
    FileSize_ = static_cast<uint64_t>(std::max<long>(std::ftell(File_), 0));
    int rc = 0;
    if (known) {
        Header_ = *known;
    } else {
        std::array<uint8_t, kApfHeaderSize> bytes{};
        rc = ReadAt(0, bytes.data(), bytes.size());
        Header_ = TFaxHeaderRec::Decode(bytes.data());
    }
    if (rc != 0 || !Header_.HasSignature()) {
        Close();
        return AdErr::ecFaxBadFormat;
    }
    return 0;
}

void TApfReader::Close()
{
    if (File_)
        std::fclose(File_);
    File_ = nullptr;
    Page_ = {};
    BytesRead_ = 0;
}

int TApfReader::ReadAt(uint64_t offset, uint8_t* bytes, std::size_t count)
{
    if (offset > FileSize_ || count > FileSize_ - offset)
        return AdErr::ecFaxBadFormat;
    if (std::fseek(File_, static_cast<long>(offset), SEEK_SET) != 0 ||
        std::fread(bytes, 1, count, File_) != count)
        return AdErr::ecFaxBadFormat;
    return 0;
}

int TApfReader::SeekPage(unsigned page, TPageHeaderRec& header)
{
    if (!File_)
        return AdErr::ecFileNotFound;
    if (page == 0)
        return 0;
    if (page > Header_.PageCount)
        return AdErr::ecFaxBadFormat;
    uint64_t offset = Header_.PageOfs;
    std::array<uint8_t, kApfPageHeaderSize> bytes{};
    for (unsigned n = 1;; ++n) {
        if (const int rc = ReadAt(offset, bytes.data(), bytes.size()); rc != 0)
            return rc;
        const TPageHeaderRec ph = TPageHeaderRec::Decode(bytes.data());
        if (n == page) {
            Page_ = ph;
            PageOffset_ = offset;
            BytesRead_ = 0;
            header = ph;
            return std::fseek(File_, static_cast<long>(offset + kApfPageHeaderSize), SEEK_SET) == 0
                       ? 0
                       : AdErr::ecFaxBadFormat;
        }
        offset += kApfPageHeaderSize + uint64_t{ph.ImgLength};
    }
}

int TApfReader::ReadChunk(std::vector<uint8_t>& chunk)
{
    chunk.clear();
    if (!File_)
        return AdErr::ecFileNotFound;
    const uint32_t left = Page_.ImgLength - BytesRead_;
    if (left == 0)
        return 0;
    std::size_t want;
    std::size_t skip = 0;
    if (Page_.LengthWords()) {
        uint8_t word[2];
        if (left < 2 || std::fread(word, 1, 2, File_) != 2)
            return AdErr::ecFaxBadFormat;
        BytesRead_ += 2;
        const std::size_t n = std::min<std::size_t>(Get16(word), left - 2);
        want = std::min(n, kApfMaxRecord);
        skip = n - want;
    } else {
        want = std::min<std::size_t>(left, kApfMaxRecord);
    }
    chunk.resize(want);
    if (want > 0 && std::fread(chunk.data(), 1, want, File_) != want) {
        chunk.clear();
        return AdErr::ecFaxBadFormat;
    }
    if (skip > 0 && std::fseek(File_, static_cast<long>(skip), SEEK_CUR) != 0)
        return AdErr::ecFaxBadFormat;
    BytesRead_ += static_cast<uint32_t>(want + skip);
    return 0;
}

// ---------------------------------------------------------------- writer

TApfWriter::~TApfWriter()
{
    Abandon();
}

int TApfWriter::Fail(int code)
{
    if (Error_ == 0)
        Error_ = code;
    return Error_;
}

int TApfWriter::Create(const std::string& fileName)
{
    Abandon();
    if (fileName.empty())
        return AdErr::ecFileNotFound;
    FileName_ = fileName;
    // No name until Close: a writer killed outright leaves nothing.
    // Its signature tells a temporary of ours that a killed writer left.
    const std::string_view signature(reinterpret_cast<const char*>(kApfSignature.data()),
                                     kApfSignature.size());
    const int fd = OpenUnnamed(fileName, NewMode.value_or(NewFileMode()), TempName_, signature);
    if (fd < 0)
        return FileErrorCode(errno);
    File_ = ::fdopen(fd, "w+b");
    if (!File_) {
        // Removed while its lock holds: the name may be another writer's
        // once it is free.
        ::unlink(TempName_.c_str());
        ::close(fd);
        TempName_.clear();
        return AdErr::ecOutOfMemory;
    }
    std::setvbuf(File_, nullptr, _IOFBF, 4096);
    Error_ = 0;
    InPage_ = false;
    Header_ = TFaxHeaderRec::Fresh();
    const auto bytes = Header_.Encode();
    return Write(bytes.data(), bytes.size());
}

int TApfWriter::Write(const void* bytes, std::size_t count)
{
    if (!File_)
        return AdErr::ecFileNotFound;
    if (Error_)
        return Error_;
    if (count > 0 && std::fwrite(bytes, 1, count, File_) != count)
        return Fail(FileErrorCode(errno));
    return 0;
}

int TApfWriter::WriteAt(uint64_t offset, const void* bytes, std::size_t count)
{
    if (!File_)
        return AdErr::ecFileNotFound;
    if (Error_)
        return Error_;
    const long back = std::ftell(File_);
    if (back < 0 || std::fseek(File_, static_cast<long>(offset), SEEK_SET) != 0)
        return Fail(AdErr::ecDeviceWrite);
    if (const int rc = Write(bytes, count); rc != 0)
        return rc;
    if (std::fseek(File_, back, SEEK_SET) != 0)
        return Fail(AdErr::ecDeviceWrite);
    return 0;
}

int TApfWriter::BeginPage(uint16_t flags)
{
    if (!File_)
        return AdErr::ecFileNotFound;
    if (InPage_)
        if (const int rc = EndPage(); rc != 0)
            return rc;
    const long pos = std::ftell(File_);
    if (pos < 0)
        return Fail(AdErr::ecDeviceWrite);
    PageOffset_ = static_cast<uint64_t>(pos);
    PageFlags_ = flags;
    PageLength_ = 0;
    TPageHeaderRec ph;
    ph.ImgFlags = flags;
    const auto bytes = ph.Encode();
    if (const int rc = Write(bytes.data(), bytes.size()); rc != 0)
        return rc;
    InPage_ = true;
    return 0;
}

int TApfWriter::AddData(const uint8_t* bytes, std::size_t length)
{
    if (!InPage_)
        return Fail(AdErr::ecBadArgument);
    if (length > std::numeric_limits<uint32_t>::max() - PageLength_)
        return Fail(AdErr::ecDeviceWrite);
    if (const int rc = Write(bytes, length); rc != 0)
        return rc;
    PageLength_ += static_cast<uint32_t>(length);
    return 0;
}

int TApfWriter::AddLine(const uint8_t* code, std::size_t length)
{
    if (length > 0xFFFF)
        return Fail(AdErr::ecBadArgument);
    uint8_t word[2];
    Put16(word, static_cast<uint16_t>(length));
    if (const int rc = AddData(word, 2); rc != 0)
        return rc;
    return AddData(code, length);
}

int TApfWriter::EndPage()
{
    if (!InPage_)
        return Fail(AdErr::ecBadArgument);
    if (PageFlags_ & ffLengthWords)
        if (const int rc = AddLine(kApfPageEnd.data(), kApfPageEnd.size()); rc != 0)
            return rc;
    TPageHeaderRec ph;
    ph.ImgLength = PageLength_;
    ph.ImgFlags = PageFlags_;
    const auto bytes = ph.Encode();
    if (const int rc = WriteAt(PageOffset_, bytes.data(), bytes.size()); rc != 0)
        return rc;
    InPage_ = false;
    ++Header_.PageCount;
    return 0;
}

int TApfWriter::DiscardPage()
{
    if (!InPage_)
        return 0;
    InPage_ = false;
    if (Error_)
        return Error_;
    if (std::fflush(File_) != 0 ||
        ::ftruncate(::fileno(File_), static_cast<off_t>(PageOffset_)) != 0 ||
        std::fseek(File_, static_cast<long>(PageOffset_), SEEK_SET) != 0)
        return Fail(AdErr::ecDeviceWrite);
    return 0;
}

int TApfWriter::Close(const std::string& stationId, std::time_t when)
{
    if (!File_)
        return AdErr::ecFileNotFound;
    if (InPage_)
        EndPage();
    Header_.StationID = stationId.substr(0, kApfStationIdLen);
    Header_.FDateTime = DosDateTime(when);
    const auto bytes = Header_.Encode();
    WriteAt(0, bytes.data(), bytes.size());
    if (Error_ == 0 && (std::fflush(File_) != 0 || ::fsync(::fileno(File_)) != 0))
        Fail(FileErrorCode(errno));
    // Named while it is open: an unnamed file goes with its last descriptor.
    if (Error_ == 0) {
        try {
            if (NoReplace)
                FileName_ = CommitNoReplace(::fileno(File_), TempName_, FileName_);
            else
                CommitOver(::fileno(File_), TempName_, FileName_);
            TempName_.clear();
        } catch (const std::system_error& e) {
            Fail(FileErrorCode(e.code().value()));
        }
    }
    if (!TempName_.empty())
        ::unlink(TempName_.c_str());
    TempName_.clear();
    std::fclose(File_);
    File_ = nullptr;
    return Error_;
}

void TApfWriter::Abandon()
{
    if (!TempName_.empty())
        ::unlink(TempName_.c_str());
    TempName_.clear();
    if (File_) {
        std::fclose(File_);
        File_ = nullptr;
    }
    InPage_ = false;
}
