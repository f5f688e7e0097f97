#pragma once

#include "platform/thread.h"

#include <cstdint>
#include <stdexcept>
#include <string>

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
