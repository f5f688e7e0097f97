#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Numbered error codes of the serial library: 0 is success, negatives are
// failures. Codes from -1 to -161 are operating-system file and device codes;
// the rest belong to the library.
namespace AdErr {
inline constexpr int ecOK = 0;
inline constexpr int ecFileNotFound = -2;
inline constexpr int ecPathNotFound = -3;
inline constexpr int ecTooManyFiles = -4;
inline constexpr int ecAccessDenied = -5;
inline constexpr int ecInvalidHandle = -6;
inline constexpr int ecOutOfMemory = -8;
// Held by another program (a port's lock), as against ecAccessDenied: this
// user may not open it at all.
inline constexpr int ecSharingViolation = -32;
inline constexpr int ecDeviceWrite = -160;
inline constexpr int ecDeviceRead = -161;

inline constexpr int ecBadHandle = -1001;
inline constexpr int ecBadArgument = -1002;
inline constexpr int ecGotQuitMsg = -1003;
inline constexpr int ecBufferTooBig = -1004;
inline constexpr int ecPortNotAssigned = -1005;
inline constexpr int ecInternal = -1006;
inline constexpr int ecCannotUseWithWinSock = -1009;

inline constexpr int ecBadId = -2001;
inline constexpr int ecBaudRate = -2002;
inline constexpr int ecByteSize = -2003;
inline constexpr int ecDefault = -2004;
inline constexpr int ecHardware = -2005;
inline constexpr int ecMemory = -2006;
inline constexpr int ecCommNotOpen = -2007;
inline constexpr int ecAlreadyOpen = -2008;
inline constexpr int ecNoHandles = -2009;
inline constexpr int ecNoTimers = -2010;
inline constexpr int ecNoPortSelected = -2011;

inline constexpr int ecNotSupported = -3002;
inline constexpr int ecPutBlockFail = -3004;
inline constexpr int ecGetBlockFail = -3005;
inline constexpr int ecOutputBufferTooSmall = -3006;
inline constexpr int ecBufferIsEmpty = -3007;

inline constexpr int ecNoMoreTriggers = -5001;
inline constexpr int ecTriggerTooLong = -5002;
inline constexpr int ecBadTriggerHandle = -5003;

inline constexpr int ecCancelRequested = -6005;
inline constexpr int ecTimeout = -6006;
inline constexpr int ecNoFilename = -6010;
inline constexpr int ecFileRejected = -6011;

inline constexpr int ecFaxBadFormat = -8001;
inline constexpr int ecBadGraphicsFormat = -8002;
inline constexpr int ecConvertAbort = -8003;
inline constexpr int ecUnpackAbort = -8004;
inline constexpr int ecCantMakeBitmap = -8005;
inline constexpr int ecInvalidFontFile = -8052;
inline constexpr int ecInvalidPageNumber = -8053;
inline constexpr int ecBmpTooBig = -8054;
inline constexpr int ecEnhFontTooBig = -8055;
inline constexpr int ecFaxBadMachine = -8060;
inline constexpr int ecFaxBadModemResult = -8061;
inline constexpr int ecFaxTrainError = -8062;
inline constexpr int ecFaxInitError = -8063;
inline constexpr int ecFaxBusy = -8064;
inline constexpr int ecFaxVoiceCall = -8065;
inline constexpr int ecFaxDataCall = -8066;
inline constexpr int ecFaxNoDialTone = -8067;
inline constexpr int ecFaxNoCarrier = -8068;
inline constexpr int ecFaxSessionError = -8069;
inline constexpr int ecFaxPageError = -8070;
inline constexpr int ecFaxNoFontFile = -8071;
inline constexpr int ecFaxNoAnswer = -8074;
inline constexpr int ecAlreadyMonitored = -8075;

inline constexpr int ecTapiCallUnavail = -13805;
} // namespace AdErr

// Root of the library's exceptions: an error code and that code's text.
class EAPDException : public std::runtime_error {
public:
    EAPDException(int code, const std::string& message);
    int ErrorCode() const { return ErrorCode_; }

private:
    int ErrorCode_;
};

// Groups, as the code table arranges them.
class EGeneral : public EAPDException {
    using EAPDException::EAPDException;
};
class EOpenComm : public EAPDException {
    using EAPDException::EAPDException;
};
class ESerialIO : public EAPDException {
    using EAPDException::EAPDException;
};
class ETrigger : public EAPDException {
    using EAPDException::EAPDException;
};
class EProtocol : public EAPDException {
    using EAPDException::EAPDException;
};
class EFax : public EAPDException {
    using EAPDException::EAPDException;
};
class ETapi : public EAPDException {
    using EAPDException::EAPDException;
};

#define SKIP_APD_EXCEPTION(Name, Base)                                                             \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    };

SKIP_APD_EXCEPTION(EBadHandle, EGeneral)
SKIP_APD_EXCEPTION(EBadArgument, EGeneral)
SKIP_APD_EXCEPTION(EGotQuitMsg, EGeneral)
SKIP_APD_EXCEPTION(EBufferTooBig, EGeneral)
SKIP_APD_EXCEPTION(EPortNotAssigned, EGeneral)
SKIP_APD_EXCEPTION(EInternal, EGeneral)
SKIP_APD_EXCEPTION(ECannotUseWithWinSock, EGeneral)
SKIP_APD_EXCEPTION(EBadId, EOpenComm)
SKIP_APD_EXCEPTION(EBaudRate, EOpenComm)
SKIP_APD_EXCEPTION(EByteSize, EOpenComm)
SKIP_APD_EXCEPTION(EDefault, EOpenComm)
SKIP_APD_EXCEPTION(EHardware, EOpenComm)
SKIP_APD_EXCEPTION(EMemory, EOpenComm)
SKIP_APD_EXCEPTION(ECommNotOpen, EOpenComm)
SKIP_APD_EXCEPTION(EAlreadyOpen, EOpenComm)
SKIP_APD_EXCEPTION(ENoHandles, EOpenComm)
SKIP_APD_EXCEPTION(ENoTimers, EOpenComm)
SKIP_APD_EXCEPTION(ENoPortSelected, EOpenComm)
SKIP_APD_EXCEPTION(ENotSupported, ESerialIO)
SKIP_APD_EXCEPTION(EPutBlockFail, ESerialIO)
SKIP_APD_EXCEPTION(EGetBlockFail, ESerialIO)
SKIP_APD_EXCEPTION(EOutputBufferTooSmall, ESerialIO)
SKIP_APD_EXCEPTION(EBufferIsEmpty, ESerialIO)
SKIP_APD_EXCEPTION(ENoMoreTriggers, ETrigger)
SKIP_APD_EXCEPTION(ETriggerTooLong, ETrigger)
SKIP_APD_EXCEPTION(EBadTriggerHandle, ETrigger)
SKIP_APD_EXCEPTION(ECancelRequested, EProtocol)
SKIP_APD_EXCEPTION(ETimeout, EProtocol)
SKIP_APD_EXCEPTION(ENoFilename, EProtocol)
SKIP_APD_EXCEPTION(EFileRejected, EProtocol)
SKIP_APD_EXCEPTION(EFaxBadFormat, EFax)
SKIP_APD_EXCEPTION(EBadGraphicsFormat, EFax)
SKIP_APD_EXCEPTION(EConvertAbort, EFax)
SKIP_APD_EXCEPTION(EUnpackAbort, EFax)
SKIP_APD_EXCEPTION(ECantMakeBitmap, EFax)
SKIP_APD_EXCEPTION(EInvalidFontFile, EFax)
SKIP_APD_EXCEPTION(EInvalidPageNumber, EFax)
SKIP_APD_EXCEPTION(EBmpTooBig, EFax)
SKIP_APD_EXCEPTION(EEnhFontTooBig, EFax)
SKIP_APD_EXCEPTION(EFaxBadMachine, EFax)
SKIP_APD_EXCEPTION(EFaxBadModemResult, EFax)
SKIP_APD_EXCEPTION(EFaxTrainError, EFax)
SKIP_APD_EXCEPTION(EFaxInitError, EFax)
SKIP_APD_EXCEPTION(EFaxBusy, EFax)
SKIP_APD_EXCEPTION(EFaxVoiceCall, EFax)
SKIP_APD_EXCEPTION(EFaxDataCall, EFax)
SKIP_APD_EXCEPTION(EFaxNoDialTone, EFax)
SKIP_APD_EXCEPTION(EFaxNoCarrier, EFax)
SKIP_APD_EXCEPTION(EFaxSessionError, EFax)
SKIP_APD_EXCEPTION(EFaxPageError, EFax)
SKIP_APD_EXCEPTION(EFaxNoFontFile, EFax)
SKIP_APD_EXCEPTION(EFaxNoAnswer, EFax)
SKIP_APD_EXCEPTION(EAlreadyMonitored, EFax)
SKIP_APD_EXCEPTION(ETapiCallUnavail, ETapi)

#undef SKIP_APD_EXCEPTION

// The runtime's input/output error: operating-system file and device codes
// (-1 to -161) surface as this, carrying the positive code.
class EInOutError : public std::runtime_error {
public:
    EInOutError(int code, const std::string& message);
    int ErrorCode() const { return ErrorCode_; }

private:
    int ErrorCode_;
};

class TApdBaseComponent;

// The code's text from the message table; unknown codes get a generic text.
std::string ErrorMsg(int code);
// Raises the exception the code table gives for a negative code and returns
// the code otherwise. Nothing is raised while the component is being loaded.
// -8 raises std::bad_alloc.
int CheckException(const TApdBaseComponent* component, int code);
// The library text of a code (error or fax status 4801..4843), empty when the
// table has none.
std::string LibLoadZ(int code);
