#include "netlib/base/ip_winsock.h"

#include "netlib/base/ip_const.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace ws = IdWinsock2;

namespace {

// ---- The POSIX binding as a WinSock library --------------------------------

int PosixWSAStartup(uint16_t version, IpWs::TWSAData* data)
{
    // The binding starts once per process; every start-up still gets its
    // record filled.
    ws::TWSAData ignored;
    const int rc = ws::WSAStartup(version, &ignored);
    if (rc == 0 && data) {
        *data = IpWs::TWSAData{};
        data->wVersion = version;
        data->wHighVersion = 0x0202;
        std::strncpy(data->szDescription, "POSIX sockets", sizeof data->szDescription - 1);
        std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
    }
    return rc;
}

template <typename F> TIpProc Export(F function)
{
    return reinterpret_cast<TIpProc>(function);
}

struct TExport {
    const char* Name;
    TIpProc Proc;
};

const TExport kPosixExports[] = {
    {"accept", Export(&ws::accept)},
    {"bind", Export(&ws::bind)},
    {"closesocket", Export(&ws::closesocket)},
    {"connect", Export(&ws::connect)},
    {"gethostbyaddr", Export(&ws::gethostbyaddr)},
    {"gethostbyname", Export(&ws::gethostbyname)},
    {"gethostname", Export(&ws::gethostname)},
    {"getpeername", Export(&ws::getpeername)},
    {"getprotobyname", Export(&ws::getprotobyname)},
    {"getprotobynumber", Export(&ws::getprotobynumber)},
    {"getservbyname", Export(&ws::getservbyname)},
    {"getservbyport", Export(&ws::getservbyport)},
    {"getsockname", Export(&ws::getsockname)},
    {"getsockopt", Export(&ws::getsockopt)},
    {"htonl", Export(&ws::htonl)},
    {"htons", Export(&ws::htons)},
    {"inet_addr", Export(&ws::inet_addr)},
    {"inet_ntoa", Export(&ws::inet_ntoa)},
    {"ioctlsocket", Export(&ws::ioctlsocket)},
    {"listen", Export(&ws::listen)},
    {"ntohl", Export(&ws::ntohl)},
    {"ntohs", Export(&ws::ntohs)},
    {"recv", Export(&ws::recv)},
    {"recvfrom", Export(&ws::recvfrom)},
    {"select", Export(&ws::select)},
    {"send", Export(&ws::send)},
    {"sendto", Export(&ws::sendto)},
    {"setsockopt", Export(&ws::setsockopt)},
    {"shutdown", Export(&ws::shutdown)},
    {"socket", Export(&ws::socket)},
    {"WSAAsyncGetHostByAddr", Export(&ws::WSAAsyncGetHostByAddr)},
    {"WSAAsyncGetHostByName", Export(&ws::WSAAsyncGetHostByName)},
    {"WSAAsyncGetProtoByName", Export(&ws::WSAAsyncGetProtoByName)},
    {"WSAAsyncGetProtoByNumber", Export(&ws::WSAAsyncGetProtoByNumber)},
    {"WSAAsyncGetServByName", Export(&ws::WSAAsyncGetServByName)},
    {"WSAAsyncGetServByPort", Export(&ws::WSAAsyncGetServByPort)},
    {"WSAAsyncSelect", Export(&ws::WSAAsyncSelect)},
    {"WSACancelAsyncRequest", Export(&ws::WSACancelAsyncRequest)},
    {"WSACleanup", Export(&ws::WSACleanup)},
    {"WSAGetLastError", Export(&ws::WSAGetLastError)},
    {"WSAIsBlocking", Export(&ws::WSAIsBlocking)},
    {"WSASetLastError", Export(&ws::WSASetLastError)},
    {"WSAStartup", Export(&PosixWSAStartup)},
    // WinSock 2.
    {"WSAAccept", Export(&ws::WSAAccept)},
    {"WSAAddressToStringA", Export(&ws::WSAAddressToStringA)},
    {"WSACloseEvent", Export(&ws::WSACloseEvent)},
    {"WSAConnect", Export(&ws::WSAConnect)},
    {"WSACreateEvent", Export(&ws::WSACreateEvent)},
    {"WSAEnumNetworkEvents", Export(&ws::WSAEnumNetworkEvents)},
    {"WSAEventSelect", Export(&ws::WSAEventSelect)},
    {"WSAGetOverlappedResult", Export(&ws::WSAGetOverlappedResult)},
    {"WSAHtonl", Export(&ws::WSAHtonl)},
    {"WSAHtons", Export(&ws::WSAHtons)},
    {"WSAIoctl", Export(&ws::WSAIoctl)},
    {"WSANtohl", Export(&ws::WSANtohl)},
    {"WSANtohs", Export(&ws::WSANtohs)},
    {"WSARecv", Export(&ws::WSARecv)},
    {"WSARecvDisconnect", Export(&ws::WSARecvDisconnect)},
    {"WSARecvFrom", Export(&ws::WSARecvFrom)},
    {"WSAResetEvent", Export(&ws::WSAResetEvent)},
    {"WSASend", Export(&ws::WSASend)},
    {"WSASendDisconnect", Export(&ws::WSASendDisconnect)},
    {"WSASendTo", Export(&ws::WSASendTo)},
    {"WSASetEvent", Export(&ws::WSASetEvent)},
    {"WSASocketA", Export(&ws::WSASocketA)},
    {"WSAStringToAddressA", Export(&ws::WSAStringToAddressA)},
    {"WSAWaitForMultipleEvents", Export(&ws::WSAWaitForMultipleEvents)},
};

class TPosixWinSockModule : public TIpModule {
public:
    TIpProc GetProcAddress(std::string_view name) override
    {
        for (const auto& e : kPosixExports)
            if (name == e.Name)
                return e.Proc;
        return nullptr;
    }
};

class TPosixWinSockLoader : public TIpModuleLoader {
public:
    bool FileExists(const std::string& fileName) override
    {
        return fileName == "ws2_32.dll" || fileName == "wsock32.dll";
    }
    std::unique_ptr<TIpModule> LoadLibrary(const std::string& fileName) override
    {
        if (!FileExists(fileName))
            return nullptr;
        return std::make_unique<TPosixWinSockModule>();
    }
};

// Nothing to load: what the program goes on with after a failed start-up.
class TNoLibraries : public TIpModuleLoader {
public:
    bool FileExists(const std::string&) override { return false; }
    std::unique_ptr<TIpModule> LoadLibrary(const std::string&) override { return nullptr; }
};

struct TLevel {
    int Level;
    const char* FileName;
    uint16_t Version;
};
constexpr TLevel kLevels[] = {{2, "ws2_32.dll", 0x0202}, {1, "wsock32.dll", 0x0101}};

// ---- Error texts -------------------------------------------------------------

struct TErrorText {
    int Code;
    IpConst::TIpStr Text;
};

constexpr TErrorText kErrorTexts[] = {
    {10004, IpConst::SwsaEIntr},
    {10009, IpConst::SwsaEBadF},
    {10013, IpConst::SwsaEAcces},
    {10014, IpConst::SwsaEFault},
    {10022, IpConst::SwsaEInval},
    {10024, IpConst::SwsaEMFile},
    {10035, IpConst::SwsaEWouldBlock},
    {10036, IpConst::SwsaEInProgress},
    {10037, IpConst::SwsaEAlReady},
    {10038, IpConst::SwsaENotSock},
    {10039, IpConst::SwsaEDestAddrReq},
    {10040, IpConst::SwsaEMsgSize},
    {10041, IpConst::SwsaEPrototype},
    {10042, IpConst::SwsaENoProtoOpt},
    {10043, IpConst::SwsaEProtoNoSupport},
    {10044, IpConst::SwsaESocktNoSupport},
    {10045, IpConst::SwsaEOpNotSupp},
    {10046, IpConst::SwsaEPfNoSupport},
    {10047, IpConst::SwsaEAfNoSupport},
    {10048, IpConst::SwsaEAddrInUse},
    {10049, IpConst::SwsaEAddrNotAvail},
    {10050, IpConst::SwsaENetDown},
    {10051, IpConst::SwsaENetUnreach},
    {10052, IpConst::SwsaENetReset},
    {10053, IpConst::SwsaEConnAborted},
    {10054, IpConst::SwsaEConnReset},
    {10055, IpConst::SwsaENoBufs},
    {10056, IpConst::SwsaEIsConn},
    {10057, IpConst::SwsaENotConn},
    {10058, IpConst::SwsaEShutDown},
    {10059, IpConst::SwsaETooManyRefs},
    {10060, IpConst::SwsaETimedOut},
    {10061, IpConst::SwsaEConnRefused},
    {10062, IpConst::SwsaELoop},
    {10063, IpConst::SwsaENameTooLong},
    {10064, IpConst::SwsaEHostDown},
    {10065, IpConst::SwsaEHostUnreach},
    {10066, IpConst::SwsaENotEmpty},
    {10067, IpConst::SwsaEProcLim},
    {10068, IpConst::SwsaEUsers},
    {10069, IpConst::SwsaEDQuot},
    {10070, IpConst::SwsaEStale},
    {10071, IpConst::SwsaERemote},
    {10091, IpConst::SwsaSysNotReady},
    {10092, IpConst::SwsaVerNotSupported},
    {10093, IpConst::SwsaNotInitialised},
    {10101, IpConst::SwsaEDiscOn},
    {10102, IpConst::SwsaENoMore},
    {10103, IpConst::SwsaECancelled},
    {10104, IpConst::SwsaEInvalidProcTable},
    {10105, IpConst::SwsaEInvalidProvider},
    {10106, IpConst::SwsaEProviderFailedInit},
    {10107, IpConst::SwsaSysCallFailure},
    {10108, IpConst::SwsaService_Not_Found},
    {10109, IpConst::SwsaType_Not_Found},
    {10110, IpConst::Swsa_E_No_More},
    {10111, IpConst::Swsa_E_Cancelled},
    {10112, IpConst::SwsaERefused},
    {11001, IpConst::SwsaHost_Not_Found},
    {11002, IpConst::SwsaTry_Again},
    {11003, IpConst::SwsaNo_Recovery},
    {11004, IpConst::SwsaNo_Data},
    {11005, IpConst::Swsa_Qos_Receivers},
    {11006, IpConst::Swsa_Qos_Senders},
    {11007, IpConst::Swsa_Qos_No_Senders},
    {11008, IpConst::Swsa_Qos_No_Receivers},
    {11009, IpConst::Swsa_Qos_Request_Confirmed},
    {11010, IpConst::Swsa_Qos_Admission_Failure},
    {11011, IpConst::Swsa_Qos_Policy_Failure},
    {11012, IpConst::Swsa_Qos_Bad_Style},
    {11013, IpConst::Swsa_Qos_Bad_Object},
    {11014, IpConst::Swsa_Qos_Traffic_Ctrl_Error},
    {11015, IpConst::Swsa_Qos_Generic_Error},
};
static_assert(std::size(kErrorTexts) == 73);

// ---- The process-wide loader ---------------------------------------------------

std::mutex GUnitLock;
int GUnitCount = 0;
std::unique_ptr<TIpWinSockAccess> GOwned;
std::atomic<TIpWinSockAccess*> GAccess{nullptr};

} // namespace

TIpWinSockAccess::TIpWinSockAccess(TIpModuleLoader* loader)
{
    TIpModuleLoader& from = loader ? *loader : PosixWinSockLoader();
    const TLevel* loaded = nullptr;
    for (const auto& level : kLevels) {
        if (!from.FileExists(level.FileName))
            continue;
        FModule = from.LoadLibrary(level.FileName);
        if (FModule) {
            loaded = &level;
            break;
        }
    }
    if (!loaded)
        return;
    FLevel = static_cast<uint8_t>(loaded->Level);
    int rc = 0;
    try {
        rc = GetWsaStartup()(loaded->Version, &FWsaData);
    } catch (...) {
        Unload();
        throw;
    }
    if (rc != 0) {
        Unload();
        throw EIpWinSockError(rc, "WSAStartup");
    }
}

TIpWinSockAccess::~TIpWinSockAccess()
{
    Unload();
}

void TIpWinSockAccess::Unload()
{
    if (!FModule)
        return;
    try {
        GetWsaCleanup()();
    } catch (const EIpAccessException&) {
        // A library without WSACleanup is unloaded all the same.
    }
    auto guard = PropertyGuard();
    FModule.reset();
    FLevel = 0;
    std::fill(std::begin(FSlots), std::end(FSlots), nullptr);
}

TIpProc TIpWinSockAccess::Proc(TSlot slot, const char* name, bool needsWinSock2)
{
    auto guard = PropertyGuard();
    if (needsWinSock2 && FLevel < 2)
        throw EIpAccessException(IpFormat(IpConst::SNoWinSock2Err, {name}));
    return Resolve(FSlots[slot], name);
}

#define IP_WINSOCK1_GETTER(getter, name, type)                                                     \
    type TIpWinSockAccess::getter()                                                                \
    {                                                                                              \
        return reinterpret_cast<type>(Proc(k##getter, name, false));                               \
    }
#define IP_WINSOCK2_GETTER(getter, name, type)                                                     \
    type TIpWinSockAccess::getter()                                                                \
    {                                                                                              \
        return reinterpret_cast<type>(Proc(k##getter, name, true));                                \
    }
IP_WINSOCK1_PROCS(IP_WINSOCK1_GETTER)
IP_WINSOCK2_PROCS(IP_WINSOCK2_GETTER)
#undef IP_WINSOCK1_GETTER
#undef IP_WINSOCK2_GETTER

TIpModuleLoader& PosixWinSockLoader()
{
    static TPosixWinSockLoader loader;
    return loader;
}

EIpWinSockError::EIpWinSockError(int32_t code, const std::string& api)
    : EIpBaseException(IpFormat(IpConst::SWinSockErr, {code, WinSockErrorMessage(code), api})),
      FErrorCode(code)
{
}

std::string WinSockErrorMessage(int code)
{
    for (const auto& e : kErrorTexts)
        if (e.Code == code)
            return IpStr(e.Text);
    return std::strerror(code);
}

std::string AsyncLookupName(int kind)
{
    static const char* const kNames[] = {"WsaAsyncGetHostByName", "WsaAsyncGetHostByAddr",
                                         "WsaAsyncGetServByName", "WsaAsyncGetServByPort"};
    return kind >= 0 && kind < 4 ? kNames[kind] : "";
}

std::string SocketEventName(int event)
{
    switch (event) {
    case 1:
        return "Fd_Read";
    case 2:
        return "Fd_Write";
    case 4:
        return "Fd_Oob";
    case 8:
        return "Fd_Accept";
    case 16:
        return "Fd_Connect";
    case 32:
        return "Fd_Close";
    default:
        return "";
    }
}

TIpWinSockAccess* IpWinSockAccess()
{
    return GAccess.load(std::memory_order_acquire);
}

void IpSockStartup(const std::function<void(const std::string&)>& report, TIpModuleLoader* loader)
{
    std::lock_guard guard(GUnitLock);
    if (GUnitCount++ > 0)
        return;
    try {
        GOwned = std::make_unique<TIpWinSockAccess>(loader);
    } catch (const std::exception& e) {
        if (report)
            report(e.what());
        static TNoLibraries none;
        GOwned = std::make_unique<TIpWinSockAccess>(&none);
    }
    GAccess.store(GOwned.get(), std::memory_order_release);
}

void IpSockShutdown()
{
    std::lock_guard guard(GUnitLock);
    if (GUnitCount == 0 || --GUnitCount > 0)
        return;
    GAccess.store(nullptr, std::memory_order_release);
    IpSafeFree(GOwned);
}
