// The blocking byte and line channel every server connection and client
// talks through: buffered input read by lines, numbered replies,
// dot-terminated text, and buffered writes.
#pragma once

#include "netproto/core/id_component.h"
#include "netproto/core/id_intercept.h"
#include "netproto/core/id_iohandler.h"
#include "netproto/protocols/id_rfc_reply.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

class EIdTCPConnectionError : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdObjectTypeNotSupported : public EIdTCPConnectionError {
public:
    EIdObjectTypeNotSupported() : EIdTCPConnectionError("Object type not supported.") {}
};
class EIdNotEnoughDataInBuffer : public EIdTCPConnectionError {
public:
    EIdNotEnoughDataInBuffer() : EIdTCPConnectionError("Not enough data in buffer.") {}
};
class EIdNoDataToRead : public EIdTCPConnectionError {
public:
    EIdNoDataToRead() : EIdTCPConnectionError("No data to read.") {}
};
class EIdNotConnected : public EIdTCPConnectionError {
public:
    EIdNotConnected() : EIdTCPConnectionError("Not Connected") {}
};
class EIdFileNotFound : public EIdTCPConnectionError {
public:
    explicit EIdFileNotFound(const std::string& name)
        : EIdTCPConnectionError("File \"" + name + "\" not found")
    {
    }
};
class EIdEndOfStream : public EIdTCPConnectionError {
public:
    using EIdTCPConnectionError::EIdTCPConnectionError;
};

// Read time-outs for the protocols, in ms: a stalled peer never holds a
// thread for ever (RFC 5321 section 4.5.3.2 asks at least 5 minutes of an SMTP
// server, RFC 1939 at least 10 of a POP3 server's autologout timer).
constexpr int32_t IdReadTimeoutSMTP = 5 * 60 * 1000;
constexpr int32_t IdReadTimeoutPOP3 = 10 * 60 * 1000;
constexpr int32_t IdDefaultReadTimeout = IdReadTimeoutPOP3;

// A byte buffer with a removal notification.
class TIdSimpleBuffer {
public:
    virtual ~TIdSimpleBuffer() = default;
    virtual int64_t Size() const { return static_cast<int64_t>(FData.size()); }
    virtual const char* Memory() const { return FData.data(); }
    virtual void Append(const char* data, size_t count) { FData.append(data, count); }
    void Extract(int64_t count, std::string& out);
    virtual void Remove(int64_t count);
    virtual void Clear() { FData.clear(); }

    std::function<void(int64_t count)> OnBytesRemoved;

protected:
    std::string FData;
};

// Removing bytes only moves a read position; the remainder is moved to the
// front once 32768 bytes were consumed, so reading many short lines does not
// copy the rest each time.
class TIdManagedBuffer : public TIdSimpleBuffer {
public:
    static constexpr int64_t PackThreshold = 32768;
    int64_t Size() const override { return static_cast<int64_t>(FData.size()) - FReadPos; }
    const char* Memory() const override { return FData.data() + FReadPos; }
    void Remove(int64_t count) override;
    void Clear() override
    {
        FData.clear();
        FReadPos = 0;
    }

private:
    int64_t FReadPos = 0;
};

enum TIdMaxLineAction { maException = 0, maSplit = 1 };

class TIdTCPConnection : public TIdComponent {
public:
    TIdTCPConnection();
    ~TIdTCPConnection() override;

    // -- reading
    virtual int ReadFromStack(bool raiseExceptionIfDisconnected = true, int timeout = -1,
                              bool raiseExceptionOnTimeout = true);
    virtual std::string ReadLn(const std::string& terminator = "\n", int timeout = -1,
                               int maxLineLength = -1);
    // As ReadLn, but the whole line must arrive within lineTimeout ms (0 or
    // below: no limit), so a peer dripping bytes cannot hold the reader for
    // ever; raises EIdReadTimeout when it does not. While what was written
    // before is still on its way, the time counts from the last bytes the
    // peer took: a peer does not send its next line before it has read the
    // reply to the last.
    std::string ReadLnWithin(const std::string& terminator, int32_t lineTimeout,
                             int maxLineLength = -1);
    std::string ReadLnWait(int attempts = 2147483647);
    void ReadBuffer(void* buffer, int count);
    std::string CurrentReadBuffer();
    virtual std::string AllData();
    // Dot-terminated text: only CR LF "." CR LF ends it. Each variant returns
    // the line count.
    int Capture(std::vector<std::string>* destination, const std::string& delimiter = ".",
                bool isRFCMessage = true);
    int Capture(std::ostream* destination, const std::string& delimiter = ".",
                bool isRFCMessage = true);
    bool ReadLnSplit() const { return FReadLnSplit; }
    bool ReadLnTimedOut() const { return FReadLnTimedOut; }
    TIdSimpleBuffer& InputBuffer() { return FInputBuffer; }

    // -- replies
    virtual int GetResponse(const std::vector<int>& allowedResponses);
    int GetResponse(int allowedResponse = -1);
    int CheckResponse(int response, const std::vector<int>& allowedResponses);
    virtual void RaiseExceptionForLastCmdResult();
    // Raises E with the last reply's text.
    template <class E> [[noreturn]] void RaiseExceptionForLastCmdResultAs()
    {
        throw E(LastCmdResultText());
    }
    virtual int SendCmd(const std::string& out, const std::vector<int>& allowedResponses);
    int SendCmd(const std::string& out, int allowedResponse = -1);
    TIdRFCReply& LastCmdResult() { return FLastCmdResult; }
    TIdRFCReply& Greeting() { return FGreeting; }

    // -- writing
    virtual void Write(const std::string& out);
    virtual void WriteLn(const std::string& out = std::string());
    void WriteBuffer(const void* buffer, int count, bool writeNow = false);
    void WriteInteger(int32_t value, bool convert = true);
    void WriteStrings(const std::vector<std::string>& lines, bool writeLinesCount = false);
    virtual void WriteStream(std::istream& stream, bool all = true, bool writeByteCount = false,
                             int64_t size = 0);
    // Returns the byte count.
    virtual int64_t WriteFile(const std::string& fileName);
    void WriteRFCReply(const TIdRFCReply& reply);
    // Every line that starts with "." goes out with one more in front; then ".".
    void WriteRFCStrings(const std::vector<std::string>& lines);
    // Writes collect in the buffer until threshold bytes (when at least 1)
    // or until it is flushed or closed.
    void OpenWriteBuffer(int threshold = -1);
    void CloseWriteBuffer();
    void FlushWriteBuffer(int byteCount = -1);
    void ClearWriteBuffer();

    // -- connection state
    virtual void CheckForDisconnect(bool raiseExceptionIfDisconnected = true,
                                    bool ignoreBuffer = false);
    virtual void CheckForGracefulDisconnect(bool raiseExceptionIfDisconnected = true);
    virtual bool Connected();
    virtual void Disconnect();
    virtual void DisconnectSocket();
    virtual void DoOnDisconnected();
    virtual void ResetConnection();
    bool ClosedGracefully() const { return FClosedGracefully; }

    TIdIOHandler* IOHandler() const { return FIOHandler; }
    // Not owned: the caller keeps it alive.
    void SetIOHandler(TIdIOHandler* handler);
    // Owned: freed when replaced or on Disconnect.
    void SetIOHandler(std::unique_ptr<TIdIOHandler> handler);
    TIdIOHandlerSocket* Socket() const { return FSocket; }
    TIdConnectionIntercept* Intercept = nullptr;

    bool ASCIIFilter = false;
    TIdMaxLineAction MaxLineAction = maException;
    int32_t MaxLineLength = 16384;
    std::function<void(TIdTCPConnection* sender)> OnDisconnected;
    // 0 and below wait without limit.
    int32_t ReadTimeout = IdDefaultReadTimeout;
    int32_t RecvBufferSize = 32768;
    int32_t SendBufferSize = 32768;

protected:
    std::string LastCmdResultText() const;
    int CaptureLines(const std::function<void(const std::string&)>& add,
                     const std::string& delimiter, bool isRFCMessage);

    bool FClosedGracefully = false;
    TIdRFCReply FGreeting;
    TIdRFCReply FLastCmdResult;

private:
    void ReleaseIOHandler();
    // The line reading of ReadLn and ReadLnWithin. waitForMore reads more
    // input; false means the wait timed out (the line is then empty).
    // A template, not a std::function: the waits' captures would cost an
    // allocation per line.
    template <class WaitForMore>
    std::string ReadLnUsing(const std::string& terminator, int maxLineLength,
                            WaitForMore waitForMore);

    TIdManagedBuffer FInputBuffer;
    std::string FRecvScratch;
    std::unique_ptr<TIdSimpleBuffer> FWriteBuffer;
    int FWriteBufferThreshold = 0;
    TIdIOHandler* FIOHandler = nullptr;
    std::unique_ptr<TIdIOHandler> FOwnedIOHandler;
    TIdIOHandlerSocket* FSocket = nullptr;
    bool FReadLnSplit = false;
    bool FReadLnTimedOut = false;
    // After an over-long line was refused, the rest of it up to its
    // terminator is dropped before the next line is read.
    bool FSkippingLongLine = false;
    std::string FSkipTerminator;
};

// Reads and writes a connection as a standard stream.
class TIdTCPStream : public std::iostream {
public:
    explicit TIdTCPStream(TIdTCPConnection& connection);
    TIdTCPConnection& Connection() { return FBuf.FConnection; }

private:
    struct Buf : std::streambuf {
        explicit Buf(TIdTCPConnection& c) : FConnection(c) {}
        int_type underflow() override;
        int_type overflow(int_type ch) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        TIdTCPConnection& FConnection;
        char FChar = 0;
    } FBuf;
};

// Reads one line from a stream ending at LF, CR or CR LF; maxLineLength below
// 0 means no limit. At the end with nothing read, raiseAtEnd raises
// EIdEndOfStream, else the line is empty. Returns false at the end.
bool ReadLnFromStream(std::istream& stream, std::string& line, int maxLineLength = -1,
                      bool raiseAtEnd = false);
void WriteLnToStream(std::ostream& stream, const std::string& text);
