#include "netproto/core/id_tcp_connection.h"

#include "netproto/core/id_stack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>

namespace {

bool SameTextAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

// ---- buffers ----------------------------------------------------------------

void TIdSimpleBuffer::Extract(int64_t count, std::string& out)
{
    if (count > Size())
        throw EIdNotEnoughDataInBuffer();
    out.assign(Memory(), static_cast<size_t>(count));
    Remove(count);
}

void TIdSimpleBuffer::Remove(int64_t count)
{
    if (count > Size())
        throw EIdNotEnoughDataInBuffer();
    if (count == Size())
        FData.clear();
    else
        FData.erase(0, static_cast<size_t>(count));
    if (OnBytesRemoved)
        OnBytesRemoved(count);
}

void TIdManagedBuffer::Remove(int64_t count)
{
    if (count > Size())
        throw EIdNotEnoughDataInBuffer();
    if (count == Size()) {
        Clear();
    } else {
        FReadPos += count;
        if (FReadPos >= PackThreshold) {
            FData.erase(0, static_cast<size_t>(FReadPos));
            FReadPos = 0;
        }
    }
    if (OnBytesRemoved)
        OnBytesRemoved(count);
}

// ---- TIdTCPConnection -------------------------------------------------------

TIdTCPConnection::TIdTCPConnection()
{
    FInputBuffer.OnBytesRemoved = [this](int64_t count) {
        DoWork(wmRead, static_cast<int32_t>(count));
    };
}

TIdTCPConnection::~TIdTCPConnection()
{
    if (FIOHandler) {
        if (Intercept)
            Intercept->Disconnect();
        FIOHandler->Close();
    }
    ReleaseIOHandler();
}

void TIdTCPConnection::ReleaseIOHandler()
{
    FIOHandler = nullptr;
    FSocket = nullptr;
    FOwnedIOHandler.reset();
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler)
{
    FOwnedIOHandler.reset();
    FIOHandler = handler;
    FSocket = dynamic_cast<TIdIOHandlerSocket*>(handler);
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandler> handler)
{
    TIdIOHandler* raw = handler.get();
    SetIOHandler(raw);
    FOwnedIOHandler = std::move(handler);
}

int TIdTCPConnection::ReadFromStack(bool raiseExceptionIfDisconnected, int timeout,
                                    bool raiseExceptionOnTimeout)
{
    // ReadTimeout 0 (or any value below it) waits without limit.
    if (timeout == -1)
        timeout = ReadTimeout > 0 ? ReadTimeout : -2;
    CheckForDisconnect(raiseExceptionIfDisconnected, false);
    if (!Connected()) {
        if (raiseExceptionIfDisconnected)
            throw EIdNotConnected();
        return 0;
    }
    while (FIOHandler) {
        int count = 0;
        FRecvScratch.resize(static_cast<size_t>(RecvBufferSize > 0 ? RecvBufferSize : 1));
        if (!FIOHandler->ReceiveWithin(FRecvScratch.data(), static_cast<int>(FRecvScratch.size()),
                                       timeout, count))
            break;
        FClosedGracefully = count == 0;
        if (count == Id_SOCKET_ERROR) {
            if (GStack->CheckForSocketError(count, {Id_WSAESHUTDOWN, Id_WSAECONNABORTED})) {
                const int code = GStack->LastError();
                count = 0;
                DisconnectSocket();
                if (FInputBuffer.Size() == 0)
                    GStack->RaiseSocketError(code);
            }
        } else if (count > 0) {
            std::string got(FRecvScratch.data(), static_cast<size_t>(count));
            if (Intercept) {
                Intercept->Receive(got);
                count = static_cast<int>(got.size());
            }
            if (ASCIIFilter)
                for (auto& c : got)
                    c = static_cast<char>(c & 0x7F);
            FInputBuffer.Append(got.data(), got.size());
        }
        CheckForDisconnect(raiseExceptionIfDisconnected, false);
        if (count != 0 || !Connected())
            return count;
    }
    if (raiseExceptionOnTimeout)
        throw EIdReadTimeout();
    return -1;
}

std::string TIdTCPConnection::ReadLn(const std::string& terminator, int timeout, int maxLineLength)
{
    const bool raiseOnTimeout = timeout == -1;
    return ReadLnUsing(terminator, maxLineLength, [&] {
        CheckForDisconnect(true, true);
        return ReadFromStack(true, timeout, raiseOnTimeout) != -1;
    });
}

std::string TIdTCPConnection::ReadLnWithin(const std::string& terminator, int32_t lineTimeout,
                                           int maxLineLength)
{
    // The clock is read at the first wait: a line already in the buffer
    // needs none. While output is unsent the waits are cut into looks, and
    // each look that finds less of it starts the clock again.
    const int look = std::clamp(lineTimeout / 8, 10, 1000);
    bool waited = false;
    uint32_t start = 0;
    int unsent = 0;
    return ReadLnUsing(terminator, maxLineLength, [&] {
        int timeout = -2;
        if (lineTimeout > 0) {
            const int pending = FIOHandler ? FIOHandler->Unsent() : 0;
            if (!waited || pending < unsent) {
                start = IdGetTickCount();
                waited = true;
            }
            unsent = pending;
            const uint32_t elapsed = IdGetTickCount() - start;
            if (elapsed >= static_cast<uint32_t>(lineTimeout))
                throw EIdReadTimeout();
            timeout = static_cast<int>(static_cast<uint32_t>(lineTimeout) - elapsed);
            if (unsent > 0)
                timeout = std::min(timeout, look);
        }
        CheckForDisconnect(true, true);
        ReadFromStack(true, timeout, false);
        return true;
    });
}

template <class WaitForMore>
std::string TIdTCPConnection::ReadLnUsing(const std::string& terminator, int maxLineLength,
                                          WaitForMore waitForMore)
{
    if (maxLineLength == -1)
        maxLineLength = MaxLineLength;
    const std::string term = terminator.empty() ? std::string("\n") : terminator;
    FReadLnSplit = false;
    FReadLnTimedOut = false;

    // The rest of a line refused as too long goes first.
    while (FSkippingLongLine) {
        std::string_view buf(FInputBuffer.Memory(), static_cast<size_t>(FInputBuffer.Size()));
        size_t p = buf.find(FSkipTerminator);
        if (p != std::string_view::npos) {
            FInputBuffer.Remove(static_cast<int64_t>(p + FSkipTerminator.size()));
            FSkippingLongLine = false;
            break;
        }
        const size_t keep = FSkipTerminator.size() - 1;
        if (buf.size() > keep)
            FInputBuffer.Remove(static_cast<int64_t>(buf.size() - keep));
        if (!waitForMore()) {
            FReadLnTimedOut = true;
            return std::string();
        }
    }

    size_t from = 0;
    for (;;) {
        std::string_view buf(FInputBuffer.Memory(), static_cast<size_t>(FInputBuffer.Size()));
        const size_t p = buf.find(term, from);
        if (p != std::string_view::npos) {
            // A CR before the LF is part of the line end, not of the line.
            const bool crlf = term == "\n" && p > 0 && buf[p - 1] == '\r';
            const size_t len = crlf ? p - 1 : p;
            if (maxLineLength != 0 && len > static_cast<size_t>(maxLineLength)) {
                if (MaxLineAction == maSplit)
                    break;
                // The session stays usable: the line is dropped, the caller
                // answers the error and reads the next line.
                FInputBuffer.Remove(static_cast<int64_t>(p + term.size()));
                throw EIdReadLnMaxLineLengthExceeded();
            }
            std::string line(buf.substr(0, len));
            FInputBuffer.Remove(static_cast<int64_t>(p + term.size()));
            return line;
        }
        // Room for a CR of a CR LF ending just past the limit.
        const size_t slack = !buf.empty() && buf.back() == '\r' ? 1 : 0;
        if (maxLineLength != 0 && buf.size() > static_cast<size_t>(maxLineLength) + slack) {
            if (MaxLineAction == maSplit)
                break;
            FInputBuffer.Remove(static_cast<int64_t>(buf.size()));
            FSkippingLongLine = true;
            FSkipTerminator = term;
            throw EIdReadLnMaxLineLengthExceeded();
        }
        // Only new bytes are searched next time (a terminator may straddle).
        from = buf.size() >= term.size() ? buf.size() - term.size() + 1 : 0;
        if (!waitForMore()) {
            FReadLnTimedOut = true;
            return std::string();
        }
    }
    FReadLnSplit = true;
    std::string line(FInputBuffer.Memory(), static_cast<size_t>(maxLineLength));
    FInputBuffer.Remove(maxLineLength);
    return line;
}

std::string TIdTCPConnection::ReadLnWait(int attempts)
{
    std::string result;
    int tries = 0;
    while (result.empty() && tries < attempts) {
        ++tries;
        result = std::string(TrimBlanks(ReadLn("\n", -1, -1)));
    }
    return result;
}

void TIdTCPConnection::ReadBuffer(void* buffer, int count)
{
    if (count < 1 || !buffer)
        return;
    while (FInputBuffer.Size() < count) {
        ReadFromStack(true, -1, true);
        CheckForDisconnect(true, true);
    }
    std::memcpy(buffer, FInputBuffer.Memory(), static_cast<size_t>(count));
    FInputBuffer.Remove(count);
}

std::string TIdTCPConnection::CurrentReadBuffer()
{
    if (Connected())
        ReadFromStack(false, -1, true);
    std::string out;
    FInputBuffer.Extract(FInputBuffer.Size(), out);
    return out;
}

std::string TIdTCPConnection::AllData()
{
    std::string out;
    BeginWork(wmRead);
    try {
        while (Connected())
            out += CurrentReadBuffer();
        std::string rest;
        FInputBuffer.Extract(FInputBuffer.Size(), rest);
        out += rest;
    } catch (...) {
        EndWork(wmRead);
        throw;
    }
    EndWork(wmRead);
    return out;
}

int TIdTCPConnection::CaptureLines(const std::function<void(const std::string&)>& add,
                                   const std::string& delimiter, bool isRFCMessage)
{
    int count = 0;
    BeginWork(wmRead);
    try {
        for (;;) {
            // Lines end at CR LF only: a bare LF "." bare LF is text, so a
            // message cannot end early and smuggle a second one after it.
            std::string line = ReadLn("\r\n", -1, -1);
            if (FReadLnTimedOut)
                break;
            if (line == delimiter)
                break;
            if (isRFCMessage && line.size() >= 2 && line[0] == '.' && line[1] == '.')
                line.erase(0, 1);
            ++count;
            add(line);
        }
    } catch (...) {
        EndWork(wmRead);
        throw;
    }
    EndWork(wmRead);
    return count;
}

int TIdTCPConnection::Capture(std::vector<std::string>* destination, const std::string& delimiter,
                              bool isRFCMessage)
{
    return CaptureLines(
        [destination](const std::string& line) {
            if (destination)
                destination->push_back(line);
        },
        delimiter, isRFCMessage);
}

int TIdTCPConnection::Capture(std::ostream* destination, const std::string& delimiter,
                              bool isRFCMessage)
{
    return CaptureLines(
        [destination](const std::string& line) {
            if (destination)
                *destination << line << "\r\n";
        },
        delimiter, isRFCMessage);
}

int TIdTCPConnection::GetResponse(const std::vector<int>& allowedResponses)
{
    std::vector<std::string> lines;
    std::string line = ReadLnWait();
    lines.push_back(line);
    if (line.size() >= 4 && line[3] == '-') {
        const std::string term = line.substr(0, 3) + " ";
        for (;;) {
            line = ReadLnWait();
            lines.push_back(line);
            if (line.size() < 4 || SameTextAscii(std::string_view(line).substr(0, 4), term))
                break;
        }
    }
    FLastCmdResult.ParseReply(lines);
    return CheckResponse(FLastCmdResult.NumericCode(), allowedResponses);
}

int TIdTCPConnection::GetResponse(int allowedResponse)
{
    if (allowedResponse == -1)
        return GetResponse(std::vector<int>{});
    return GetResponse(std::vector<int>{allowedResponse});
}

int TIdTCPConnection::CheckResponse(int response, const std::vector<int>& allowedResponses)
{
    if (allowedResponses.empty() || std::find(allowedResponses.begin(), allowedResponses.end(),
                                              response) != allowedResponses.end())
        return response;
    RaiseExceptionForLastCmdResult();
    return response;
}

std::string TIdTCPConnection::LastCmdResultText() const
{
    std::string text;
    for (const auto& l : FLastCmdResult.Text()) {
        if (!text.empty())
            text += "\r\n";
        text += l;
    }
    return text;
}

void TIdTCPConnection::RaiseExceptionForLastCmdResult()
{
    throw EIdProtocolReplyError(FLastCmdResult.NumericCode(), LastCmdResultText());
}

int TIdTCPConnection::SendCmd(const std::string& out, const std::vector<int>& allowedResponses)
{
    WriteLn(out);
    return GetResponse(allowedResponses);
}

int TIdTCPConnection::SendCmd(const std::string& out, int allowedResponse)
{
    WriteLn(out);
    return GetResponse(allowedResponse);
}

void TIdTCPConnection::Write(const std::string& out)
{
    if (!out.empty())
        WriteBuffer(out.data(), static_cast<int>(out.size()));
}

void TIdTCPConnection::WriteLn(const std::string& out)
{
    Write(out + "\r\n");
}

void TIdTCPConnection::WriteBuffer(const void* buffer, int count, bool writeNow)
{
    if (count < 1 || !buffer)
        return;
    CheckForDisconnect(true, true);
    if (!Connected())
        throw EIdNotConnected();
    if (FWriteBuffer && !writeNow) {
        FWriteBuffer->Append(static_cast<const char*>(buffer), static_cast<size_t>(count));
        if (FWriteBufferThreshold >= 1 && FWriteBuffer->Size() >= FWriteBufferThreshold)
            FlushWriteBuffer(FWriteBufferThreshold);
        return;
    }
    std::string data(static_cast<const char*>(buffer), static_cast<size_t>(count));
    if (Intercept) {
        Intercept->Send(data);
        count = static_cast<int>(data.size());
    }
    int pos = 0;
    while (pos < count) {
        int sent = FIOHandler->Send(data.data() + pos, count - pos);
        if (sent == 0)
            FClosedGracefully = true;
        CheckForDisconnect(true, false);
        if (sent == Id_SOCKET_ERROR) {
            if (GStack->CheckForSocketError(
                    sent, {Id_WSAESHUTDOWN, Id_WSAECONNABORTED, Id_WSAECONNRESET})) {
                const int code = GStack->LastError();
                DisconnectSocket();
                GStack->RaiseSocketError(code);
            }
        }
        TIdAntiFreezeBase::DoProcess(false);
        DoWork(wmWrite, sent);
        pos += sent;
    }
}

void TIdTCPConnection::WriteInteger(int32_t value, bool convert)
{
    uint32_t v = static_cast<uint32_t>(value);
    if (convert)
        v = GStack->HToNL(v);
    WriteBuffer(&v, 4);
}

void TIdTCPConnection::WriteStrings(const std::vector<std::string>& lines, bool writeLinesCount)
{
    if (writeLinesCount)
        WriteInteger(static_cast<int32_t>(lines.size()));
    for (const auto& l : lines)
        WriteLn(l);
}

void TIdTCPConnection::WriteStream(std::istream& stream, bool all, bool writeByteCount,
                                   int64_t size)
{
    if (all) {
        stream.clear();
        stream.seekg(0);
    }
    const int64_t pos = static_cast<int64_t>(stream.tellg());
    int64_t end;
    if (size != 0) {
        end = pos + size;
    } else {
        stream.seekg(0, std::ios::end);
        end = static_cast<int64_t>(stream.tellg());
        stream.seekg(pos);
    }
    int64_t left = end - pos;
    if (writeByteCount)
        WriteInteger(static_cast<int32_t>(left));
    BeginWork(wmWrite, static_cast<int32_t>(left));
    try {
        std::string chunk(static_cast<size_t>(SendBufferSize > 0 ? SendBufferSize : 1), '\0');
        for (;;) {
            const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(chunk.size()));
            if (n <= 0)
                break;
            stream.read(chunk.data(), n);
            const int64_t got = stream.gcount();
            if (got <= 0)
                throw EIdNoDataToRead();
            WriteBuffer(chunk.data(), static_cast<int>(got));
            left -= got;
        }
    } catch (...) {
        EndWork(wmWrite);
        throw;
    }
    EndWork(wmWrite);
}

int64_t TIdTCPConnection::WriteFile(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        throw EIdFileNotFound(fileName);
    in.seekg(0, std::ios::end);
    const int64_t size = static_cast<int64_t>(in.tellg());
    WriteStream(in, true, false, 0);
    return size;
}

void TIdTCPConnection::WriteRFCReply(const TIdRFCReply& reply)
{
    if (reply.ReplyExists())
        Write(reply.GenerateReply());
}

void TIdTCPConnection::WriteRFCStrings(const std::vector<std::string>& lines)
{
    // Every line that starts with "." is stuffed, not only a lone ".": the
    // reader removes one dot from each such line.
    for (const auto& l : lines) {
        if (!l.empty() && l[0] == '.')
            WriteLn("." + l);
        else
            WriteLn(l);
    }
    WriteLn(".");
}

void TIdTCPConnection::OpenWriteBuffer(int threshold)
{
    FWriteBuffer = std::make_unique<TIdSimpleBuffer>();
    FWriteBufferThreshold = threshold;
}

void TIdTCPConnection::CloseWriteBuffer()
{
    try {
        FlushWriteBuffer();
    } catch (...) {
        FWriteBuffer.reset();
        throw;
    }
    FWriteBuffer.reset();
}

void TIdTCPConnection::FlushWriteBuffer(int byteCount)
{
    if (!FWriteBuffer || FWriteBuffer->Size() == 0)
        return;
    if (byteCount != -1 && byteCount <= FWriteBuffer->Size()) {
        WriteBuffer(FWriteBuffer->Memory(), byteCount, true);
        FWriteBuffer->Remove(byteCount);
    } else {
        WriteBuffer(FWriteBuffer->Memory(), static_cast<int>(FWriteBuffer->Size()), true);
        FWriteBuffer->Clear();
    }
}

void TIdTCPConnection::ClearWriteBuffer()
{
    if (FWriteBuffer)
        FWriteBuffer->Clear();
}

void TIdTCPConnection::CheckForDisconnect(bool raiseExceptionIfDisconnected, bool ignoreBuffer)
{
    if (!FIOHandler)
        return;
    bool disconnected;
    if (FClosedGracefully) {
        if (FIOHandler->Connected()) {
            DisconnectSocket();
            DoStatus(hsDisconnected);
            DoOnDisconnected();
        }
        disconnected = true;
    } else {
        disconnected = !FIOHandler->Connected();
    }
    if (disconnected && (FInputBuffer.Size() == 0 || ignoreBuffer) && raiseExceptionIfDisconnected)
        throw EIdConnClosedGracefully();
}

void TIdTCPConnection::CheckForGracefulDisconnect(bool raiseExceptionIfDisconnected)
{
    ReadFromStack(raiseExceptionIfDisconnected, 1, false);
}

bool TIdTCPConnection::Connected()
{
    CheckForDisconnect(false, false);
    return FIOHandler && FIOHandler->Connected();
}

void TIdTCPConnection::Disconnect()
{
    const bool was = Connected();
    if (was) {
        DoStatus(hsDisconnecting);
        DisconnectSocket();
    }
    if (FOwnedIOHandler)
        ReleaseIOHandler();
    if (was) {
        DoOnDisconnected();
        DoStatus(hsDisconnected);
    }
}

void TIdTCPConnection::DisconnectSocket()
{
    if (FIOHandler) {
        if (Intercept)
            Intercept->Disconnect();
        FIOHandler->Close();
    }
}

void TIdTCPConnection::DoOnDisconnected()
{
    if (OnDisconnected)
        OnDisconnected(this);
}

void TIdTCPConnection::ResetConnection()
{
    FInputBuffer.Clear();
    FClosedGracefully = false;
    FSkippingLongLine = false;
}

// ---- TIdTCPStream -----------------------------------------------------------

TIdTCPStream::TIdTCPStream(TIdTCPConnection& connection) : std::iostream(nullptr), FBuf(connection)
{
    rdbuf(&FBuf);
}

TIdTCPStream::Buf::int_type TIdTCPStream::Buf::underflow()
{
    try {
        FConnection.ReadBuffer(&FChar, 1);
    } catch (const EIdConnClosedGracefully&) {
        return traits_type::eof();
    }
    setg(&FChar, &FChar, &FChar + 1);
    return traits_type::to_int_type(FChar);
}

TIdTCPStream::Buf::int_type TIdTCPStream::Buf::overflow(int_type ch)
{
    if (traits_type::eq_int_type(ch, traits_type::eof()))
        return traits_type::not_eof(ch);
    char c = traits_type::to_char_type(ch);
    FConnection.WriteBuffer(&c, 1);
    return ch;
}

std::streamsize TIdTCPStream::Buf::xsputn(const char* s, std::streamsize n)
{
    FConnection.WriteBuffer(s, static_cast<int>(n));
    return n;
}

bool ReadLnFromStream(std::istream& stream, std::string& line, int maxLineLength, bool raiseAtEnd)
{
    line.clear();
    if (auto* tcp = dynamic_cast<TIdTCPStream*>(&stream)) {
        line = tcp->Connection().ReadLn("\n", -1, maxLineLength);
        return true;
    }
    const size_t max = maxLineLength < 0 ? 2147483647u : static_cast<size_t>(maxLineLength);
    int c = stream.get();
    if (c == std::char_traits<char>::eof()) {
        stream.clear(stream.rdstate() & ~std::ios::failbit);
        if (raiseAtEnd) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "End of stream: %s at %lld", "stream",
                          static_cast<long long>(stream.tellg()));
            throw EIdEndOfStream(buf);
        }
        return false;
    }
    while (c != std::char_traits<char>::eof()) {
        if (c == '\n')
            break;
        if (c == '\r') {
            if (stream.peek() == '\n')
                stream.get();
            break;
        }
        if (line.size() < max)
            line += static_cast<char>(c);
        c = stream.get();
    }
    if (stream.eof())
        stream.clear(stream.rdstate() & ~(std::ios::failbit | std::ios::eofbit));
    return true;
}

void WriteLnToStream(std::ostream& stream, const std::string& text)
{
    const std::string out = text + "\r\n";
    stream.write(out.data(), static_cast<std::streamsize>(out.size()));
}
