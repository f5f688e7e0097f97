#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Byte streams of the MIME model: the common base, a memory stream, a file
// seen through a memory mapping and a download file that takes its final
// name when complete.
//
// Decisions:
// - A mapped stream's size is the length of its data, not of its mapping:
//   seeking to the end lands after the last byte written, and a file written
//   through a mapping is cut back to that length when it is closed, so no
//   zero slack ever reaches a message file.
// - Opening a mapped file read-only never creates it; an existing empty file
//   opens as an empty stream (a mapping of nothing is simply not made).
// - A position outside the view is never read or written: reads deliver
//   nothing there and writes grow the view (or write nothing when it may not
//   grow).
// - A download file that was neither renamed nor copied is removed when the
//   stream goes: only a complete download leaves a file behind.

enum TIpSeekOrigin : int { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

class TIpStream {
public:
    virtual ~TIpStream() = default;

    // Bytes moved; fewer than asked at the end of the data.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    // The new position.
    virtual int64_t Seek(int64_t offset, int origin) = 0;
    virtual void SetSize(int64_t size) = 0;
    virtual int64_t GetSize();
    // The stream's bytes in memory when it has them (memory and mapped
    // streams), else null. Valid until the stream is written or resized.
    virtual const char* Memory() const { return nullptr; }

    int64_t GetPosition() { return Seek(0, soFromCurrent); }
    void SetPosition(int64_t position) { Seek(position, soFromBeginning); }
    // Raises "Cannot write to stream" when not every byte goes.
    void WriteBuffer(const void* buffer, int64_t count);
    void WriteString(std::string_view text) { WriteBuffer(text.data(), int64_t(text.size())); }
    // Copies count bytes from the source's position, or the whole source from
    // its start when count is 0; the bytes copied.
    int64_t CopyFrom(TIpStream& source, int64_t count);
};

// Bytes in memory, growing as written.
class TIpMemoryStream : public TIpStream {
public:
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, int origin) override;
    void SetSize(int64_t size) override;
    int64_t GetSize() override { return int64_t(FData.size()); }
    const char* Memory() const override { return FData.data(); }

    // Room for that many bytes without moving them again.
    void Reserve(int64_t capacity) { FData.reserve(size_t(capacity)); }
    const std::string& Data() const { return FData; }

private:
    std::string FData;
    int64_t FPosition = 0;
};

class TIpMemMapStream : public TIpStream {
public:
    TIpMemMapStream(std::string fileName, bool readOnly, bool deleteOnFree);
    ~TIpMemMapStream() override;
    TIpMemMapStream(const TIpMemMapStream&) = delete;
    TIpMemMapStream& operator=(const TIpMemMapStream&) = delete;

    void Open();
    void OpenFile();
    void OpenMap();
    void CloseMap();
    void CloseFile();
    bool IsOpen() const { return FFile >= 0; }

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, int origin) override;
    void SetSize(int64_t size) override;
    int64_t GetSize() override { return FDataSize; }
    const char* Memory() const override { return FView; }

    int64_t DataSize() const { return FDataSize; }
    int64_t MappedSize() const { return FMappedSize; }
    const std::string& FileName() const { return FFileName; }
    bool Growable = true;
    double GrowthFactor = 0.25;

private:
    void Resize(int64_t size);
    [[noreturn]] void RaiseFileError() const;
    void RequireOpen(const char* method) const;

    int64_t FDataSize = 0;
    bool FReadOnly;
    int64_t FMappedSize = 65536;
    bool FExisted = false;
    int FFile = -1;
    bool FDeleteOnFree;
    std::string FFileName;
    char* FView = nullptr;
    int64_t FPosition = 0;
};

class TIpDownloadFileStream : public TIpStream {
public:
    explicit TIpDownloadFileStream(const std::string& directory);
    ~TIpDownloadFileStream() override;
    TIpDownloadFileStream(const TIpDownloadFileStream&) = delete;
    TIpDownloadFileStream& operator=(const TIpDownloadFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, int origin) override;
    void SetSize(int64_t size) override;

    // Moves the file to directory/name and reopens it read-only.
    void Rename(const std::string& name);
    // Copies the file to path, replacing what is there, and reopens the copy
    // read-only.
    void Move(const std::string& path);
    const std::string& FileName() const { return FFileName; }

private:
    [[noreturn]] void RaiseFileError() const;
    void Reopen(const std::string& path);

    int FHandle = -1;
    std::string FPath;
    std::string FFileName;
    bool FRenamed = false;
};
