#include "serial/ad_except.h"

#include "serial/ad_component.h"

#include <array>
#include <new>

EAPDException::EAPDException(int code, const std::string& message)
    : std::runtime_error(message), ErrorCode_(code)
{
}

EInOutError::EInOutError(int code, const std::string& message)
    : std::runtime_error(message), ErrorCode_(code)
{
}

namespace {

using Raiser = void (*)(int, const std::string&);

template <class E> [[noreturn]] void Raise(int code, const std::string& text)
{
    throw E(code, text);
}

struct ErrorEntry {
    int Code;
    const char* Text;
    Raiser Raise;
};

using namespace AdErr;

// clang-format off
const std::array kErrorTable{
    ErrorEntry{ecFileNotFound, "File not found", nullptr},
    ErrorEntry{ecPathNotFound, "Path not found", nullptr},
    ErrorEntry{ecTooManyFiles, "Too many open files", nullptr},
    ErrorEntry{ecAccessDenied, "File access denied", nullptr},
    ErrorEntry{ecInvalidHandle, "Invalid file handle", nullptr},
    ErrorEntry{ecOutOfMemory, "Insufficient memory", nullptr},
    ErrorEntry{ecSharingViolation, "File or device in use by another program", nullptr},
    ErrorEntry{ecDeviceWrite, "Device write fault", nullptr},
    ErrorEntry{ecDeviceRead, "Device read fault", nullptr},
    ErrorEntry{ecBadHandle, "Bad handle passed to com function", &Raise<EBadHandle>},
    ErrorEntry{ecBadArgument, "Bad argument passed to function", &Raise<EBadArgument>},
    ErrorEntry{ecGotQuitMsg, "Yielding routine received a quit message", &Raise<EGotQuitMsg>},
    ErrorEntry{ecBufferTooBig, "Terminal buffer size too big", &Raise<EBufferTooBig>},
    ErrorEntry{ecPortNotAssigned, "ComPort component not assigned", &Raise<EPortNotAssigned>},
    ErrorEntry{ecInternal, "Internal error creating a window", &Raise<EInternal>},
    ErrorEntry{ecCannotUseWithWinSock, "Not supported with the WinSock device layer",
               &Raise<ECannotUseWithWinSock>},
    ErrorEntry{ecBadId, "Bad port number or port name", &Raise<EBadId>},
    ErrorEntry{ecBaudRate, "Unsupported baud rate", &Raise<EBaudRate>},
    ErrorEntry{ecByteSize, "Invalid byte size", &Raise<EByteSize>},
    ErrorEntry{ecDefault, "Error in default parameters", &Raise<EDefault>},
    ErrorEntry{ecHardware, "Serial device not available or lost", &Raise<EHardware>},
    ErrorEntry{ecMemory, "Unable to allocate port buffers", &Raise<EMemory>},
    ErrorEntry{ecCommNotOpen, "Comm port not open", &Raise<ECommNotOpen>},
    ErrorEntry{ecAlreadyOpen, "Comm port already open", &Raise<EAlreadyOpen>},
    ErrorEntry{ecNoHandles, "No more port handles", &Raise<ENoHandles>},
    ErrorEntry{ecNoTimers, "No timers available", &Raise<ENoTimers>},
    ErrorEntry{ecNoPortSelected, "No port selected", &Raise<ENoPortSelected>},
    ErrorEntry{ecNotSupported, "Function not supported by the device", &Raise<ENotSupported>},
    ErrorEntry{ecPutBlockFail, "Failed to put entire block", &Raise<EPutBlockFail>},
    ErrorEntry{ecGetBlockFail, "Failed to get entire block", &Raise<EGetBlockFail>},
    ErrorEntry{ecOutputBufferTooSmall, "Output buffer too small for block",
               &Raise<EOutputBufferTooSmall>},
    ErrorEntry{ecBufferIsEmpty, "Buffer is empty", &Raise<EBufferIsEmpty>},
    ErrorEntry{ecNoMoreTriggers, "No more trigger slots", &Raise<ENoMoreTriggers>},
    ErrorEntry{ecTriggerTooLong, "Data trigger too long", &Raise<ETriggerTooLong>},
    ErrorEntry{ecBadTriggerHandle, "Bad trigger handle", &Raise<EBadTriggerHandle>},
    ErrorEntry{ecCancelRequested, "Cancel requested", &Raise<ECancelRequested>},
    ErrorEntry{ecTimeout, "Fatal time out", &Raise<ETimeout>},
    ErrorEntry{ecNoFilename, "No filename specified in protocol receive", &Raise<ENoFilename>},
    ErrorEntry{ecFileRejected, "File was rejected", &Raise<EFileRejected>},
    ErrorEntry{ecFaxBadFormat, "File is not an APF file", &Raise<EFaxBadFormat>},
    ErrorEntry{ecBadGraphicsFormat, "Unsupported graphics file format",
               &Raise<EBadGraphicsFormat>},
    ErrorEntry{ecConvertAbort, "User aborted fax conversion", &Raise<EConvertAbort>},
    ErrorEntry{ecUnpackAbort, "User aborted fax unpack", &Raise<EUnpackAbort>},
    ErrorEntry{ecCantMakeBitmap, "CreateBitmapIndirect API failure", &Raise<ECantMakeBitmap>},
    ErrorEntry{ecInvalidFontFile, "APFAX.FNT not found, or resource bad",
               &Raise<EInvalidFontFile>},
    ErrorEntry{ecInvalidPageNumber, "Invalid page number specified for fax",
               &Raise<EInvalidPageNumber>},
    ErrorEntry{ecBmpTooBig, "BMP size exceeds Windows' maxheight of 32767", &Raise<EBmpTooBig>},
    ErrorEntry{ecEnhFontTooBig, "Font selected for enhanced text converter too large",
               &Raise<EEnhFontTooBig>},
    ErrorEntry{ecFaxBadMachine, "Fax incompatible with remote fax", &Raise<EFaxBadMachine>},
    ErrorEntry{ecFaxBadModemResult, "Bad response from modem", &Raise<EFaxBadModemResult>},
    ErrorEntry{ecFaxTrainError, "Modems failed to train", &Raise<EFaxTrainError>},
    ErrorEntry{ecFaxInitError, "Error while initializing modem", &Raise<EFaxInitError>},
    ErrorEntry{ecFaxBusy, "Called fax number was busy", &Raise<EFaxBusy>},
    ErrorEntry{ecFaxVoiceCall, "Called fax number answered with voice", &Raise<EFaxVoiceCall>},
    ErrorEntry{ecFaxDataCall, "Incoming data call", &Raise<EFaxDataCall>},
    ErrorEntry{ecFaxNoDialTone, "No dial tone", &Raise<EFaxNoDialTone>},
    ErrorEntry{ecFaxNoCarrier, "Failed to connect to remote fax", &Raise<EFaxNoCarrier>},
    ErrorEntry{ecFaxSessionError, "Fax failed in mid-session", &Raise<EFaxSessionError>},
    ErrorEntry{ecFaxPageError, "Fax failed at page end", &Raise<EFaxPageError>},
    ErrorEntry{ecFaxNoFontFile, "Could not load the fax font", &Raise<EFaxNoFontFile>},
    ErrorEntry{ecFaxNoAnswer, "Remote fax did not answer", &Raise<EFaxNoAnswer>},
    ErrorEntry{ecAlreadyMonitored, "Fax port is already being monitored",
               &Raise<EAlreadyMonitored>},
    ErrorEntry{ecTapiCallUnavail, "TAPI call unavailable", &Raise<ETapiCallUnavail>},
};

struct StatusEntry {
    int Code;
    const char* Text;
};

// Progress texts of a fax run.
const std::array kStatusTable{
    StatusEntry{4801, "Initializing modem for fax processing"},
    StatusEntry{4802, "Dialing"},
    StatusEntry{4803, "Busy, waiting until redial..."},
    StatusEntry{4804, "Sending page data"},
    StatusEntry{4805, "Sending EOP"},
    StatusEntry{4806, "Error sending page"},
    StatusEntry{4807, "Page accepted by remote"},
    StatusEntry{4808, "Connecting..."},
    StatusEntry{4820, "Waiting for incoming call"},
    StatusEntry{4821, "No connect on this call"},
    StatusEntry{4822, "Answering incoming call"},
    StatusEntry{4823, "Incoming call validated as fax"},
    StatusEntry{4824, "Getting page data"},
    StatusEntry{4825, "Getting end-of-page signal"},
    StatusEntry{4826, "Getting end-of-document status"},
    StatusEntry{4827, "Getting hangup command"},
    StatusEntry{4828, "Got Class 2 FHNG code"},
    StatusEntry{4830, "Switching modes"},
    StatusEntry{4831, "Monitoring for incoming faxes"},
    StatusEntry{4832, "Not monitoring for incoming faxes"},
    StatusEntry{4840, "Getting connection params"},
    StatusEntry{4841, "Got called-station ID"},
    StatusEntry{4842, "User abort"},
    StatusEntry{4843, "Finished"},
};
// clang-format on

const ErrorEntry* FindError(int code)
{
    for (const auto& e : kErrorTable)
        if (e.Code == code)
            return &e;
    return nullptr;
}

} // namespace

std::string LibLoadZ(int code)
{
    if (const auto* e = FindError(code))
        return e->Text;
    for (const auto& s : kStatusTable)
        if (s.Code == code)
            return s.Text;
    return {};
}

std::string ErrorMsg(int code)
{
    std::string text = LibLoadZ(code);
    if (text.empty())
        text = "Unknown error (" + std::to_string(code) + ")";
    return text;
}

int CheckException(const TApdBaseComponent* component, int code)
{
    if (code >= 0)
        return code;
    if (component && component->IsLoading())
        return code;
    if (code == ecOutOfMemory)
        throw std::bad_alloc();
    const ErrorEntry* e = FindError(code);
    if (e && e->Raise)
        e->Raise(code, e->Text);
    if (code >= -161)
        throw EInOutError(-code, ErrorMsg(code));
    throw EAPDException(code, ErrorMsg(code));
}
