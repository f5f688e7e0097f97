#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

// The message texts of the internet component library. Code never embeds
// these texts: it names a record and formats the text loaded for it, so a
// translated table (IpReplaceStr) changes every text without touching code.
//
// Each record is X(name, default text). Leading and trailing blanks belong to
// the text.
#define IP_CONST_TEXTS(X)                                                                          \
    /* WinSock access */                                                                           \
    X(SAccessProcErr, "Win32 error loading '%s' pointer: %s")                                      \
    X(SNoWinSock2Err, "%s requires WinSock 2, and this system only has WinSock 1")                 \
    X(SWinSockErr, "WinSock Error (%d): %s, on API '%s'")                                          \
    /* Socket classes */                                                                           \
    X(SActiveErr, "Cannot set property on an active socket")                                       \
    X(SEventConnect, "Connect: Loc: %s Rem: %s")                                                   \
    X(SEventDisconnect, "Close:   Loc: %s Rem: %s")                                                \
    X(SIndexErr, "Index out of range")                                                             \
    X(SNoSockErr, "Socket not assigned")                                                           \
    X(SNoStreamErr, "Stream not assigned")                                                         \
    X(SNoTimerErr, "Not enough system timers available")                                           \
    X(SReadLineErr, "Received line too long, exceeds MaxLineBuf")                                  \
    X(SSocksErr, "SOCKS request refused - %d")                                                     \
    /* Dial-up: errors, connection states and the dialer's own texts */                            \
    X(SRasErr, "Ras Error (%d): on API '%s'")                                                      \
    X(SRasOpenPort, "Open port")                                                                   \
    X(SRasPortOpened, "Port opened")                                                               \
    X(SRasConnectDevice, "Connect device")                                                         \
    X(SRasDeviceConnected, "Device connected")                                                     \
    X(SRasAllDevicesConnected, "All devices connected")                                            \
    X(SRasAuthenticate, "Authenticate")                                                            \
    X(SRasAuthNotify, "Authenticate notify")                                                       \
    X(SRasAuthRetry, "Authenticate retry")                                                         \
    X(SRasAuthCallback, "Authenticate callback")                                                   \
    X(SRasAuthChangePassword, "Authenticate change password")                                      \
    X(SRasAuthProject, "Authenticate project")                                                     \
    X(SRasAuthLinkSpeed, "Authenticate link speed")                                                \
    X(SRasAuthAck, "Authenticate acknowledged")                                                    \
    X(SRasReAuthenticate, "Re-authenticate")                                                       \
    X(SRasAuthenticated, "Authenticated")                                                          \
    X(SRasPrepareForCallback, "Prepare for callback")                                              \
    X(SRasWaitForModemReset, "Wait for modem reset")                                               \
    X(SRasWaitForCallback, "Wait for callback")                                                    \
    X(SRasProjected, "Projected")                                                                  \
    X(SRasStartAuthentication, "Start authentication")                                             \
    X(SRasCallbackComplete, "Callback complete")                                                   \
    X(SRasLogonNetwork, "Logon network")                                                           \
    X(SRasSubEntryConnected, "Sub-entry connected")                                                \
    X(SRasSubEntryDisconnected, "Sub-entry disconnected")                                          \
    X(SRasPaused, "Paused")                                                                        \
    X(SRasRetryAuthentication, "Retry authentication")                                             \
    X(SRasCallbackSetByCaller, "Callback set by caller")                                           \
    X(SRasPasswordExpired, "Password expired")                                                     \
    X(SRasConnected, "Connected")                                                                  \
    X(SRasDisconnected, "Disconnected")                                                            \
    X(SRasUnknownStatus, "Unknown status")                                                         \
    X(SRasDialing, "Dialing ")                                                                     \
    X(SRasConnectingTo, "Connecting to ")                                                          \
    /* MIME model and its coders */                                                                \
    X(SBadOffset, "Invalid stream offset")                                                         \
    X(SBinHexBadChar, "Invalid BinHex character")                                                  \
    X(SBinHexBadDataCRC, "Bad header CRC")                                                         \
    X(SBinHexBadFormat, "Invalid BinHex format")                                                   \
    X(SBinHexBadHeaderCRC, "Bad header CRC")                                                       \
    X(SBinHexColonExpected, "\":\" expected")                                                      \
    X(SBinHexLengthErr, "Invalid data length")                                                     \
    X(SBinHexOddChar, "One odd character")                                                         \
    X(SBinHexResourceForkErr, "Resource fork present")                                             \
    X(SLineLengthErr, "Invalid line length for encoded text")                                      \
    X(SMimeNestingErr, "MIME parts nested too deeply")                                             \
    X(SNoBoundary, "No Mime boundary")                                                             \
    X(SNoMemoryStreamErr, "No Memory Stream assigned")                                             \
    X(SUUEncodeCountErr, "Count <> Len or Count > 63")                                             \
    /* Streams */                                                                                  \
    X(SBadLineLength, "Invalid line length")                                                       \
    X(SBadLineTerminator, "Invalid line terminator")                                               \
    X(SBadPath, "Path does not exist")                                                             \
    X(SBadSeekOrigin, "Invalid seek origin")                                                       \
    X(SCannotWriteToStream, "Cannot write to stream")                                              \
    X(SFileName, " Filename: ")                                                                    \
    X(SMemMapFilenameRequired, "You must specify a file name for TIpMemMapStream")                 \
    X(SMemMapMustBeClosed, "The %s method requires the TIpMemMapStream instance to be closed")     \
    X(SMemMapMustBeOpen, "The %s method requires the TIpMemMapStream instance to be opened")       \
    X(SNoSeekForRead, "No seek for read")                                                          \
    X(SNoSeekForWrite, "No seek for write")                                                        \
    X(SOriginFromBegin, "When origin is soFromBeginning, Offset must be >= 0")                     \
    X(SOriginFromEnd, "When origin is soFromEnd, Offset must be <= 0")                             \
    /* Terminal */                                                                                 \
    X(SCountTooSmall, "%s: new count too small")                                                   \
    X(SInvItemSize, "TIpTerminalArray.GetItemPtr: invalid item size")                              \
    X(SNotEnoughData, "Not enough data in queue (%s bytes) to satisfy read request (%s bytes)")    \
    /* Version formats */                                                                          \
    X(sShortVersion, "v%.2f\xDF")                                                                  \
    X(sLongVersion, "Version %.2f Beta")                                                           \
    /* WinSock error texts */                                                                      \
    X(SwsaEIntr, "Interrupted function call")                                                      \
    X(SwsaEBadF, "Bad file descriptor")                                                            \
    X(SwsaEAcces, "Permission denied")                                                             \
    X(SwsaEFault, "Bad address")                                                                   \
    X(SwsaEInval, "Invalid argument")                                                              \
    X(SwsaEMFile, "Too many open files")                                                           \
    X(SwsaEWouldBlock, "Resource temporarily unavailable")                                         \
    X(SwsaEInProgress, "Operation now in progress")                                                \
    X(SwsaEAlReady, "Operation already in progress")                                               \
    X(SwsaENotSock, "Socket operation on nonsocket")                                               \
    X(SwsaEDestAddrReq, "Destination address required")                                            \
    X(SwsaEMsgSize, "Message too long")                                                            \
    X(SwsaEPrototype, "Protocol wrong type for socket")                                            \
    X(SwsaENoProtoOpt, "Bad protocol option")                                                      \
    X(SwsaEProtoNoSupport, "Protocol not supported")                                               \
    X(SwsaESocktNoSupport, "Socket type not supported")                                            \
    X(SwsaEOpNotSupp, "Operation not supported")                                                   \
    X(SwsaEPfNoSupport, "Protocol family not supported")                                           \
    X(SwsaEAfNoSupport, "Address family not supported by protocol family")                         \
    X(SwsaEAddrInUse, "Address already in use")                                                    \
    X(SwsaEAddrNotAvail, "Cannot assign requested address")                                        \
    X(SwsaENetDown, "Network is down")                                                             \
    X(SwsaENetUnreach, "Network is unreachable")                                                   \
    X(SwsaENetReset, "Network dropped connection on reset")                                        \
    X(SwsaEConnAborted, "Software caused connection abort")                                        \
    X(SwsaEConnReset, "Connection reset by peer")                                                  \
    X(SwsaENoBufs, "No buffer space available")                                                    \
    X(SwsaEIsConn, "Socket is already connected")                                                  \
    X(SwsaENotConn, "Socket is not connected")                                                     \
    X(SwsaEShutDown, "Cannot send after socket shutdown")                                          \
    X(SwsaETooManyRefs, "Too many references; cannot splice")                                      \
    X(SwsaETimedOut, "Connection timed out")                                                       \
    X(SwsaEConnRefused, "Connection refused")                                                      \
    X(SwsaELoop, "Too many levels of symbolic links")                                              \
    X(SwsaENameTooLong, "File name too long")                                                      \
    X(SwsaEHostDown, "Host is down")                                                               \
    X(SwsaEHostUnreach, "No route to host")                                                        \
    X(SwsaENotEmpty, "Directory not empty")                                                        \
    X(SwsaEProcLim, "Too many processes")                                                          \
    X(SwsaEUsers, "Too many users")                                                                \
    X(SwsaEDQuot, "Disk quota exceeded")                                                           \
    X(SwsaEStale, "Stale NFS file handle")                                                         \
    X(SwsaERemote, "Too many levels of remote in path")                                            \
    X(SwsaSysNotReady, "Network subsystem is unavailable")                                         \
    X(SwsaVerNotSupported, "WinSock DLL version not supported")                                    \
    X(SwsaNotInitialised, "Successful WSAStartup not yet performed")                               \
    X(SwsaEDiscOn, "Graceful shutdown in progress")                                                \
    X(SwsaENoMore, "No more data available")                                                       \
    X(SwsaECancelled, "Cancelled")                                                                 \
    X(SwsaEInvalidProcTable, "Invalid procedure table from service provider")                      \
    X(SwsaEInvalidProvider, "Invalid service provider version number")                             \
    X(SwsaEProviderFailedInit, "Unable to initialize a service provider")                          \
    X(SwsaSysCallFailure, "System call failure")                                                   \
    X(SwsaService_Not_Found, "Service not found")                                                  \
    X(SwsaType_Not_Found, "Type not found")                                                        \
    X(Swsa_E_No_More, "No more data available")                                                    \
    X(Swsa_E_Cancelled, "Lookup cancelled")                                                        \
    X(SwsaERefused, "Refused")                                                                     \
    X(SwsaHost_Not_Found, "Host not found")                                                        \
    X(SwsaTry_Again, "Nonauthoritative host not found")                                            \
    X(SwsaNo_Recovery, "This is a nonrecoverable error")                                           \
    X(SwsaNo_Data, "Valid name, no data record of requested type")                                 \
    X(Swsa_Qos_Receivers, "At least one Reserve has arrived")                                      \
    X(Swsa_Qos_Senders, "At least one Path has arrived")                                           \
    X(Swsa_Qos_No_Senders, "There are no senders")                                                 \
    X(Swsa_Qos_No_Receivers, "There are no receivers")                                             \
    X(Swsa_Qos_Request_Confirmed, "Reserve has been confirmed")                                    \
    X(Swsa_Qos_Admission_Failure, "Error due to lack of resources")                                \
    X(Swsa_Qos_Policy_Failure, "Rejected for administrative reasons - bad credentials")            \
    X(Swsa_Qos_Bad_Style, "Unknown or conflicting style")                                          \
    X(Swsa_Qos_Bad_Object, "Problem filterspec or providerspecific buffer")                        \
    X(Swsa_Qos_Traffic_Ctrl_Error, "Problem with some part of the flowspec")                       \
    X(Swsa_Qos_Generic_Error, "General error")

namespace IpConst {
// A record's name is its identifier here (without the leading underscore
// that C++ reserves).
enum TIpStr : int {
#define IP_CONST_ENUM(name, text) name,
    IP_CONST_TEXTS(IP_CONST_ENUM)
#undef IP_CONST_ENUM
        Count
};
} // namespace IpConst

// The text now loaded for the record.
std::string IpStr(IpConst::TIpStr id);
// The record's name, e.g. "SAccessProcErr".
const char* IpStrName(IpConst::TIpStr id);
// Replaces the record's text (a translation); the name stays.
void IpReplaceStr(IpConst::TIpStr id, std::string text);
// The record found by name, or IpConst::Count.
IpConst::TIpStr IpStrByName(std::string_view name);

// One argument of IpFormat: a number for %d, a text for %s.
struct TIpFmtArg {
    template <typename T>
    requires std::is_integral_v<T> TIpFmtArg(T value) : Number(static_cast<int64_t>(value)) {}
    TIpFmtArg(double value) : IsFloat(true), Float(value) {}
    TIpFmtArg(const char* text) : IsText(true), Text(text ? text : "") {}
    TIpFmtArg(std::string text) : IsText(true), Text(std::move(text)) {}
    TIpFmtArg(std::string_view text) : IsText(true), Text(text) {}

    bool IsText = false;
    bool IsFloat = false;
    int64_t Number = 0;
    double Float = 0;
    std::string Text;
};

// Fills %d, %s and %.Nf in order ("%%" is a percent sign). A text that asks for
// more arguments than given gets nothing for the missing ones, and a number
// where a text is asked for is written in decimal: a translated text with
// other specifiers can garble a message but never read past the arguments.
std::string IpFormat(std::string_view format, std::initializer_list<TIpFmtArg> args);
std::string IpFormat(IpConst::TIpStr id, std::initializer_list<TIpFmtArg> args);
