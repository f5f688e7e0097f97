#pragma once

#include "platform/date_time.h"
#include "platform/thread.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Shared helpers of the internet protocol components: the millisecond tick
// counter, thread tests, token fetching, RFC 822 dates, temporary files,
// string helpers and the components' exceptions.

// The millisecond tick counter, low 32 bits; wraps after 2^32 ms. Elapsed
// time is (now - start) as unsigned 32-bit, which the wrap never breaks.
uint32_t IdGetTickCount();
// True once (IdGetTickCount() - start) has reached `interval` milliseconds.
bool IdTicksElapsed(uint32_t start, uint32_t interval);
void IdSleep(uint32_t milliseconds);
// True on the program's main thread.
bool InMainThread();
bool IsCurrentThread(const TThread& thread);
void SetThreadPriorityOf(TThread& thread, TThreadPriority priority);

// English day and month names: IdDayNames[0] = "Sun", IdMonthNames[0] = "Jan".
extern const char* const IdDayNames[7];
extern const char* const IdMonthNames[12];

// Cuts the text before the first `delimiter` and returns it; with `remove`
// the text becomes what follows the delimiter. Without a delimiter the whole
// text is the token (and, with `remove`, the text becomes empty).
std::string FetchToken(std::string& text, const std::string& delimiter, bool remove = true);
// As FetchToken, finding the delimiter without regard to case.
std::string FetchTokenNoCase(std::string& text, const std::string& delimiter, bool remove = true);
// The text without the blanks and control characters (bytes up to 32) at
// either end.
std::string_view TrimBlanks(std::string_view text);
// The text with its ASCII letters in upper case; other bytes stay.
std::string UpperAscii(std::string_view text);
// The value of a hexadecimal digit (either case); -1 for any other character.
int HexDigitValue(char c);
// Case-insensitive comparison of 8-bit (Windows-1252) texts.
bool SameTextLocale(const std::string& a, const std::string& b);
// 0-based index of the first of items[0..highIndex] equal to text, -1 if none.
int FindInStrArray(const std::string& text, const std::vector<std::string>& items, int highIndex,
                   bool caseSensitive);
// 1 = Sunday / January; 0 when the text is not a 3-letter name (any case).
int DayNameToNumber(const std::string& text);
int MonthNameToNumber(const std::string& text);

// RFC 822 dates. "Mon, 5 Mar 2018 14:03:09 +0100" from a local date-time;
// the zone is the local offset at that date-time ("GMT" for zero when
// useGMTWord is set).
std::string FormatInternetDate(TDateTime value, bool useGMTWord);
// Parses and removes the date and time at the start of `text`, leaving the
// rest (the zone, if any) left-trimmed. Returns the date-time as written, or
// 0 ("no date") when the text holds no valid date or time; never raises.
TDateTime ParseInternetDate(std::string& text);
// The date-time of an RFC 822 date in local time; 0 when there is no date.
TDateTime InternetDateToLocal(const std::string& text);
// "+hhmm" / "-hhmm" as a signed day fraction; anything else gives 0.
TDateTime ParseZoneOffset(const std::string& text);
// "GMT" (zero offset, useGMTWord), else sign, hours and minutes: "+0100".
void FormatZoneOffset(bool useGMTWord, std::string& out, TDateTime offset);
// Local time minus UTC as a day fraction, now, or at a local date-time.
TDateTime LocalOffsetFromUTC();
TDateTime LocalOffsetFromUTC(TDateTime localTime);

// The system's temporary directory with a trailing "/".
const std::string& IdTempDirectory();
// Creates a new empty file "Stn<hex>.TMP" in the directory (the temporary
// directory when empty) and returns its path. Raises EIdException when no
// file can be created; never returns an empty name.
std::string MakeTempFileName(const std::string& directory = "");

// Comma-separated parts, trimmed, empty ones dropped; a comma inside a
// double-quoted part does not separate (the quotes stay).
void SplitCommaList(std::vector<std::string>& list, const std::string& text);
// 1-based position of pattern in buffer[0..length), 0 when absent or empty.
int FindInMemory(const std::string& pattern, const char* buffer, int length);
// 1-based position of pattern in text at or after start (0 or 1 = from the
// beginning), 0 when absent.
int FindFrom(const std::string& pattern, const std::string& text, int start);
// The text with a path delimiter appended unless it ends with one.
std::string IncludeBackslash(const std::string& text);

template <typename T> void FreeAndClear(std::unique_ptr<T>& object)
{
    object.reset();
}

inline int MinOf(int a, int b)
{
    return a < b ? a : b;
}

inline uint32_t RotateLeft32(uint32_t value, int count)
{
    count &= 31;
    return count == 0 ? value : (value << count) | (value >> (32 - count));
}

// A part of a split text with its 1-based start position in the text.
struct TIdTextPiece {
    std::string text;
    int position = 0;
    bool operator==(const TIdTextPiece&) const = default;
};
// Non-empty parts between delimiters, untrimmed.
void SplitAtDelimiter(const std::string& text, std::vector<TIdTextPiece>& list,
                      const std::string& delimiter);
// As SplitAtDelimiter on the trimmed text with each part trimmed; positions
// count the blanks trimmed from the start of the text.
void SplitAtDelimiterTrimmed(const std::string& text, std::vector<TIdTextPiece>& list,
                             const std::string& delimiter);

// The character-set family of the system locale: 0 simplified Chinese,
// 1 other Chinese, 2 Japanese, 3 Korean, 4 any other.
int CharSetKindFromLocale();

// A read-only stream over a caller's buffer (not owned).
class TIdReadMemoryStream {
public:
    enum TSeekOrigin { soBeginning, soCurrent, soEnd };

    TIdReadMemoryStream() = default;
    TIdReadMemoryStream(const void* data, int64_t size) { SetPointer(data, size); }
    // Points the stream at the buffer and seeks to 0.
    void SetPointer(const void* data, int64_t size);

    int64_t Read(void* buffer, int64_t count);
    // Writes nothing.
    int64_t Write(const void*, int64_t) { return 0; }
    int64_t Seek(int64_t offset, TSeekOrigin origin);
    int64_t Position() const { return FPosition; }
    int64_t Size() const { return FSize; }
    const char* Memory() const { return FData; }

private:
    const char* FData = nullptr;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

// The exceptions of the internet protocol components. Every one carries its
// message text; the classes with a fixed text give it when made without one.

class EIdException : public std::runtime_error {
public:
    explicit EIdException(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

#define SKIP_ID_EXCEPTION(name, parent, text)                                                      \
    class name : public parent {                                                                   \
    public:                                                                                        \
        explicit name(const std::string& message = text) : parent(message) {}                      \
    };

// Errors the caller is expected to swallow.
SKIP_ID_EXCEPTION(EIdSilentException, EIdException, "")
SKIP_ID_EXCEPTION(EIdConnClosedGracefully, EIdSilentException, "Connection Closed Gracefully.")
SKIP_ID_EXCEPTION(EIdAlreadyConnected, EIdException, "Already connected.")
SKIP_ID_EXCEPTION(EIdClosedSocket, EIdException, "Socket is closed.")
SKIP_ID_EXCEPTION(EIdReadTimeout, EIdException, "Read Timeout")
SKIP_ID_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException, "Max line length exceeded.")
SKIP_ID_EXCEPTION(EIdConnectTimeout, EIdException, "Connect timed out.")
SKIP_ID_EXCEPTION(EIdConnectException, EIdException, "")
SKIP_ID_EXCEPTION(EIdInvalidSocket, EIdException, "")
SKIP_ID_EXCEPTION(EIdFailedToRetreiveTimeZoneInfo, EIdException,
                  "Failed attempting to retrieve time zone information.")

// Proxy negotiation.
SKIP_ID_EXCEPTION(EIdSocksError, EIdException, "")
SKIP_ID_EXCEPTION(EIdSocksRequestFailed, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksRequestServerFailed, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksRequestIdentFailed, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksUnknownError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerRespondError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksAuthMethodError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksAuthError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerGeneralError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerPermissionError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerNetUnreachableError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerHostUnreachableError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerConnectionRefusedError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerTTLExpiredError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerCommandError, EIdSocksError, "")
SKIP_ID_EXCEPTION(EIdSocksServerAddressError, EIdSocksError, "")

// An e-mail address text that cannot be parsed.
SKIP_ID_EXCEPTION(EIdEmailParseError, EIdException, "")

#undef SKIP_ID_EXCEPTION

// "%s is not a valid service."
class EIdInvalidServiceName : public EIdException {
public:
    explicit EIdInvalidServiceName(const std::string& message) : EIdException(message) {}
    static EIdInvalidServiceName ForService(const std::string& service)
    {
        return EIdInvalidServiceName(service + " is not a valid service.");
    }
};

// A numbered reply the caller did not accept.
class EIdProtocolReplyError : public EIdException {
public:
    EIdProtocolReplyError(int32_t replyCode, const std::string& message)
        : EIdException(message), FReplyErrorCode(replyCode)
    {
    }
    int32_t ReplyErrorCode() const { return FReplyErrorCode; }

private:
    int32_t FReplyErrorCode;
};

// A failed socket call, with the socket error code.
class EIdSocketError : public EIdException {
public:
    EIdSocketError(int32_t errorCode, const std::string& message)
        : EIdException(message), FLastError(errorCode)
    {
    }
    int32_t LastError() const { return FLastError; }

private:
    int32_t FLastError;
};
