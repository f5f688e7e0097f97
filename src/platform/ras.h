#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Remote Access Service stand-in: dial-up connections through phone-book
// entries, with RAS's operations, connection states and result codes. A
// backend does the work: pppd on this machine (platform/ras_pppd.h), or a
// scripted one in tests.
//
// Every operation returns a RAS code (0 = success). Backends are called from
// any thread and lock their own state.

// A connection; 0 is none.
using HRASCONN = uintptr_t;

// RAS result codes.
namespace RasCode {
inline constexpr int SUCCESS = 0;
inline constexpr int ERROR_INVALID_HANDLE = 6;
inline constexpr int ERROR_NOT_SUPPORTED = 50;
inline constexpr int ERROR_INVALID_PARAMETER = 87;
inline constexpr int ERROR_INVALID_NAME = 123;
inline constexpr int ERROR_ALREADY_EXISTS = 183;
inline constexpr int ERROR_BUFFER_TOO_SMALL = 603;
inline constexpr int ERROR_DEVICE_DOES_NOT_EXIST = 608;
inline constexpr int ERROR_CANNOT_OPEN_PHONEBOOK = 621;
inline constexpr int ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623;
inline constexpr int ERROR_CANNOT_WRITE_PHONEBOOK = 624;
inline constexpr int ERROR_CORRUPT_PHONEBOOK = 625;
inline constexpr int ERROR_DISCONNECTION = 628;
inline constexpr int ERROR_REMOTE_DISCONNECTION = 629;
inline constexpr int ERROR_HARDWARE_FAILURE = 630;
inline constexpr int ERROR_USER_DISCONNECTION = 631;
inline constexpr int ERROR_PORT_NOT_AVAILABLE = 633;
inline constexpr int ERROR_UNKNOWN = 635;
inline constexpr int ERROR_LINE_BUSY = 676;
inline constexpr int ERROR_NO_ANSWER = 678;
inline constexpr int ERROR_NO_CARRIER = 679;
inline constexpr int ERROR_NO_DIALTONE = 680;
inline constexpr int ERROR_AUTHENTICATION_FAILURE = 691;
inline constexpr int ERROR_PORT_OR_DEVICE = 692;
inline constexpr int ERROR_PPP_TIMEOUT = 718;
inline constexpr int ERROR_PPP_NO_PROTOCOLS_CONFIGURED = 720;
inline constexpr int ERROR_PPP_LOOPBACK_DETECTED = 737;
} // namespace RasCode

// Connection states.
namespace RasState {
inline constexpr int RASCS_OpenPort = 0;
inline constexpr int RASCS_PortOpened = 1;
inline constexpr int RASCS_ConnectDevice = 2;
inline constexpr int RASCS_DeviceConnected = 3;
inline constexpr int RASCS_AllDevicesConnected = 4;
inline constexpr int RASCS_Authenticate = 5;
inline constexpr int RASCS_Authenticated = 14;
inline constexpr int RASCS_Projected = 18;
inline constexpr int RASCS_Paused = 0x1000;
inline constexpr int RASCS_Connected = 0x2000;
inline constexpr int RASCS_Disconnected = 0x2001;
} // namespace RasState

// RAS constants under their platform names.
inline constexpr uint32_t RASNT_NotifyWindow = 0xFFFFFFFF;

// Dial extension options.
inline constexpr uint32_t RDEOPT_UsePrefixSuffix = 0x00000001;
inline constexpr uint32_t RDEOPT_PausedStates = 0x00000002;
inline constexpr uint32_t RDEOPT_IgnoreModemSpeaker = 0x00000004;
inline constexpr uint32_t RDEOPT_SetModemSpeaker = 0x00000008;
inline constexpr uint32_t RDEOPT_IgnoreSoftwareCompression = 0x00000010;
inline constexpr uint32_t RDEOPT_SetSoftwareCompression = 0x00000020;

// The projection of an IP link.
inline constexpr uint32_t RASP_PppIp = 0x8021;

// Entry options.
inline constexpr uint32_t RASEO_UseCountryAndAreaCodes = 0x00000001;
inline constexpr uint32_t RASEO_SpecificIpAddr = 0x00000002;
inline constexpr uint32_t RASEO_SpecificNameServers = 0x00000004;
inline constexpr uint32_t RASEO_IpHeaderCompression = 0x00000008;
inline constexpr uint32_t RASEO_RemoteDefaultGateway = 0x00000010;
inline constexpr uint32_t RASEO_DisableLcpExtensions = 0x00000020;
inline constexpr uint32_t RASEO_TerminalBeforeDial = 0x00000040;
inline constexpr uint32_t RASEO_TerminalAfterDial = 0x00000080;
inline constexpr uint32_t RASEO_ModemLights = 0x00000100;
inline constexpr uint32_t RASEO_SwCompression = 0x00000200;
inline constexpr uint32_t RASEO_RequireEncryptedPw = 0x00000400;
inline constexpr uint32_t RASEO_RequireMsEncryptedPw = 0x00000800;
inline constexpr uint32_t RASEO_RequireDataEncryption = 0x00001000;
inline constexpr uint32_t RASEO_NetworkLogon = 0x00002000;
inline constexpr uint32_t RASEO_UseLogonCredentials = 0x00004000;
inline constexpr uint32_t RASEO_PromoteAlternates = 0x00008000;
inline constexpr uint32_t RASEO_SecureLocalFiles = 0x00010000;

// Framing protocols.
inline constexpr uint32_t RASFP_Ppp = 0x00000001;
inline constexpr uint32_t RASFP_Slip = 0x00000002;
inline constexpr uint32_t RASFP_Ras = 0x00000004;

// Network protocols.
inline constexpr uint32_t RASNP_NetBEUI = 0x00000001;
inline constexpr uint32_t RASNP_Ipx = 0x00000002;
inline constexpr uint32_t RASNP_Ip = 0x00000004;

// Connection notifications.
inline constexpr uint32_t RASCN_Connection = 0x00000001;
inline constexpr uint32_t RASCN_Disconnection = 0x00000002;
inline constexpr uint32_t RASCN_BandwidthAdded = 0x00000004;
inline constexpr uint32_t RASCN_BandwidthRemoved = 0x00000008;

// Multilink dial modes.
inline constexpr uint32_t RASEDM_DialAll = 1;
inline constexpr uint32_t RASEDM_DialAsNeeded = 2;

// Idle disconnect.
inline constexpr uint32_t RASIDS_Disabled = 0xFFFFFFFF;
inline constexpr uint32_t RASIDS_UseGlobalValue = 0;

// Credentials masks.
inline constexpr uint32_t RASCM_UserName = 0x00000001;
inline constexpr uint32_t RASCM_Password = 0x00000002;
inline constexpr uint32_t RASCM_Domain = 0x00000004;

// What a dial needs of an entry, and what an entry stores.
struct TRasDialParams {
    std::string EntryName;
    std::string PhoneNumber;
    std::string CallbackNumber;
    std::string UserName;
    std::string Password;
    std::string Domain;
    // RDEOPT_ bits; a backend may have no use for them.
    uint32_t Options = 0;
};

// The values of an entry, to name the one a backend refuses.
enum class TRasField {
    None,
    EntryName,
    PhoneNumber,
    Options,
    UserName,
    Password,
    Domain,
    CallbackNumber
};

// A value a backend cannot store as given.
struct TRasRefusal {
    TRasField Field = TRasField::None;
    // Why, to follow the field's name ("holds a line break").
    std::string Why;
};

// What an entry holds besides its dial parameters.
struct TRasEntry {
    // Dialled by the entry's modem; empty when the options connect by
    // themselves.
    std::string PhoneNumber;
    // The entry's own settings, as text in the backend's syntax.
    std::string Options;
};

struct TRasConnection {
    HRASCONN Handle = 0;
    std::string EntryName;
    std::string DeviceType;
    std::string DeviceName;
};

struct TRasConnStatus {
    int State = RasState::RASCS_Disconnected;
    int Error = 0;
    std::string DeviceType;
    std::string DeviceName;
    // How long the line has been up; -1 while it is not.
    int64_t ConnectedMs = -1;
    // Bytes over the line so far; -1 when the backend cannot tell.
    int64_t BytesSent = -1;
    int64_t BytesReceived = -1;
};

class TRasBackend {
public:
    virtual ~TRasBackend() = default;

    // Whether the service can be used on this machine at all.
    virtual bool Available() const = 0;

    // The phone-book entry names, in phone-book order. An empty phonebook
    // means the system's.
    virtual int EnumEntries(const std::string& phonebook, std::vector<std::string>& names) = 0;
    // The stored dial parameters of params.EntryName; hasPassword tells
    // whether params.Password holds a stored one.
    virtual int GetEntryDialParams(const std::string& phonebook, TRasDialParams& params,
                                   bool& hasPassword) = 0;
    virtual int SetEntryDialParams(const std::string& phonebook, const TRasDialParams& params,
                                   bool removePassword) = 0;
    virtual int GetEntryProperties(const std::string& phonebook, const std::string& entry,
                                   TRasEntry& properties) = 0;
    // Creates the entry, or replaces its properties and keeps its dial
    // parameters. ERROR_INVALID_NAME for a name the phone book cannot hold,
    // ERROR_INVALID_PARAMETER for a value it cannot store.
    virtual int SetEntryProperties(const std::string& phonebook, const std::string& entry,
                                   const TRasEntry& properties) = 0;
    // Whether the entry's values can be stored as they are, writing nothing:
    // 0, or ERROR_INVALID_PARAMETER and the first value refused. An empty
    // password is not checked: it is removed, not stored. The default
    // accepts everything.
    virtual int CheckEntryValues(const TRasEntry& properties, const TRasDialParams& params,
                                 TRasRefusal& refusal);
    // ERROR_ALREADY_EXISTS when the new name is taken.
    virtual int RenameEntry(const std::string& phonebook, const std::string& from,
                            const std::string& to) = 0;
    // 0 when a new entry can take the name; else ERROR_INVALID_NAME or
    // ERROR_ALREADY_EXISTS.
    virtual int ValidateEntryName(const std::string& phonebook, const std::string& name) = 0;
    virtual int DeleteEntry(const std::string& phonebook, const std::string& entry) = 0;

    // Dials and returns when the line is up (0) or the dial has failed.
    // `progress`, when set, hears each state reached, on the dialling
    // thread. The connection is listed (EnumConnections) from the start of
    // the dial, so another thread can hang it up; that ends the dial with
    // ERROR_USER_DISCONNECTION. `handle` is the connection on success and 0
    // after a failure; `words` is then what the service said of the failure
    // in its own words, one line each, or empty.
    virtual int Dial(const std::string& phonebook, const TRasDialParams& params,
                     const std::function<void(int state)>& progress, HRASCONN& handle,
                     std::string& words) = 0;
    // Starts ending the connection; it may stay listed a while.
    virtual int HangUp(HRASCONN handle) = 0;
    // ERROR_INVALID_HANDLE once the connection is gone.
    virtual int GetConnectStatus(HRASCONN handle, TRasConnStatus& status) = 0;
    // Every connection being dialled or up.
    virtual int EnumConnections(std::vector<TRasConnection>& connections) = 0;
    // The IPv4 address the link got, as text.
    virtual int GetIpAddress(HRASCONN handle, std::string& address) = 0;

    // The text of a RAS code; "" for a code it does not know.
    virtual std::string ErrorText(int code) const;
};

// The backend in use: the installed one, else pppd with its usual paths.
TRasBackend& RasBackend();
// Installs a backend (not owned; null goes back to pppd) and returns the
// previous one.
TRasBackend* SetRasBackend(TRasBackend* backend);

// The text of a RAS code ("" for one this stand-in does not know).
std::string RasErrorText(int code);
