#include "netlib/ras/ip_ras.h"

#include "netlib/base/ip_const.h"
#include "netlib/ras/ip_ras_status.h"
#include "netlib/ras/ras_dialogs.h"
#include "platform/text.h"
#include "platform/thread.h"

#include <QThread>

#include <chrono>

namespace {

std::string Cut(const std::string& text, size_t length)
{
    return text.size() > length ? text.substr(0, length) : text;
}

struct TStateText {
    int State;
    IpConst::TIpStr Text;
};

constexpr TStateText kStateTexts[] = {
    {0, IpConst::SRasOpenPort},
    {1, IpConst::SRasPortOpened},
    {2, IpConst::SRasConnectDevice},
    {3, IpConst::SRasDeviceConnected},
    {4, IpConst::SRasAllDevicesConnected},
    {5, IpConst::SRasAuthenticate},
    {6, IpConst::SRasAuthNotify},
    {7, IpConst::SRasAuthRetry},
    {8, IpConst::SRasAuthCallback},
    {9, IpConst::SRasAuthChangePassword},
    {10, IpConst::SRasAuthProject},
    {11, IpConst::SRasAuthLinkSpeed},
    {12, IpConst::SRasAuthAck},
    {13, IpConst::SRasReAuthenticate},
    {14, IpConst::SRasAuthenticated},
    {15, IpConst::SRasPrepareForCallback},
    {16, IpConst::SRasWaitForModemReset},
    {17, IpConst::SRasWaitForCallback},
    {18, IpConst::SRasProjected},
    {19, IpConst::SRasStartAuthentication},
    {20, IpConst::SRasCallbackComplete},
    {21, IpConst::SRasLogonNetwork},
    {22, IpConst::SRasSubEntryConnected},
    {23, IpConst::SRasSubEntryDisconnected},
    {0x1000, IpConst::SRasPaused},
    {0x1001, IpConst::SRasRetryAuthentication},
    {0x1002, IpConst::SRasCallbackSetByCaller},
    {0x1003, IpConst::SRasPasswordExpired},
    {0x2000, IpConst::SRasConnected},
    {0x2001, IpConst::SRasDisconnected},
};

// The RAS option each extended dial option sets.
constexpr uint32_t kDialOptionBits[] = {
    RDEOPT_UsePrefixSuffix,           RDEOPT_PausedStates,
    RDEOPT_IgnoreModemSpeaker,        RDEOPT_SetModemSpeaker,
    RDEOPT_IgnoreSoftwareCompression, RDEOPT_SetSoftwareCompression,
};

// Field lengths of the dial parameters record.
constexpr size_t kEntryNameLen = 256;
constexpr size_t kPhoneNumberLen = 128;
constexpr size_t kCallbackNumberLen = 128;
constexpr size_t kUserNameLen = 256;
constexpr size_t kPasswordLen = 256;
constexpr size_t kDomainLen = 15;

} // namespace

// ---- Exception and access ------------------------------------------------------

EIpRasError::EIpRasError(int errorCode, const std::string& api)
    : EIpBaseException(IpFormat(IpConst::SRasErr, {errorCode, api})), FErrorCode(errorCode)
{
}

bool TIpRasAccess::GetRasAvailable() const
{
    auto guard = PropertyGuard();
    return RasBackend().Available();
}

TRasBackend& TIpRasAccess::Api(const char* entryPoint)
{
    auto guard = PropertyGuard();
    TRasBackend& backend = RasBackend();
    if (!backend.Available())
        throw EIpAccessException(IpFormat(IpConst::SAccessProcErr,
                                          {entryPoint, "the dial-up service is not installed"}));
    return backend;
}

TIpRasAccess& IpRasAccess()
{
    static TIpRasAccess access;
    return access;
}

// ---- Dialer ----------------------------------------------------------------------

TIpCustomRasDialer::TIpCustomRasDialer(QObject* owner) : TIpBaseComponent(owner)
{
    IpRasAccess();
    FDiscTimer = new QTimer(this);
    FDiscTimer->setObjectName("IpRasDiscTimer");
    FDiscTimer->setInterval(1000);
    connect(FDiscTimer, &QTimer::timeout, this, [this] { DoDisconnectTimer(); });
    FErrorClose = new QTimer(this);
    FErrorClose->setSingleShot(true);
    connect(FErrorClose, &QTimer::timeout, this, [this] { CloseDisplay(); });
    if (!owner)
        return;
    for (QObject* sibling : owner->children()) {
        if (auto* display = qobject_cast<TIpAbstractRasStatus*>(sibling);
            display && !FStatusDisplay && !display->RasDialer()) {
            FStatusDisplay = display;
            display->SetRasDialer(this);
        } else if (auto* box = qobject_cast<TIpRasEntryComboBox*>(sibling);
                   box && !FEntryNameCbx && !box->RasDialer()) {
            FEntryNameCbx = box;
            box->SetRasDialer(this);
        }
    }
}

TIpCustomRasDialer::~TIpCustomRasDialer()
{
    FDestroying = true;
    delete FDiscTimer;
    FDiscTimer = nullptr;
    if (HangupOnDestroy() && IpRasAccess().GetRasAvailable()) {
        try {
            Hangup();
        } catch (const std::exception&) {
            // Nothing to report to at this point.
        }
    }
    if (FAsyncDial.joinable())
        FAsyncDial.join();
    if (FStatusDisplay && FStatusDisplay->RasDialer() == this)
        FStatusDisplay->SetRasDialer(nullptr);
}

void TIpCustomRasDialer::OnOwnThread(std::function<void()> f)
{
    if (QThread::currentThread() == thread())
        f();
    else
        FCalls.Post(std::move(f));
}

void TIpCustomRasDialer::StartWatch()
{
    OnOwnThread([this] {
        if (FDiscTimer)
            FDiscTimer->start();
    });
}

void TIpCustomRasDialer::StopWatch()
{
    OnOwnThread([this] {
        if (FDiscTimer)
            FDiscTimer->stop();
    });
}

void TIpCustomRasDialer::CreateDisplay(const std::string& entryName)
{
    OnOwnThread([this, entryName] {
        // A dial error still on show gives way to the new dial.
        if (FErrorClose->isActive()) {
            FErrorClose->stop();
            if (FStatusDisplay)
                FStatusDisplay->DestroyDisplay();
        }
        if (FStatusDisplay)
            FStatusDisplay->CreateDisplay(entryName);
    });
}

void TIpCustomRasDialer::UpdateDisplay(const std::string& text)
{
    OnOwnThread([this, text] {
        if (FStatusDisplay)
            FStatusDisplay->UpdateDisplay(text);
    });
}

void TIpCustomRasDialer::CloseDisplay()
{
    OnOwnThread([this] {
        // An error on show closes when its time is up.
        if (FErrorClose->isActive())
            return;
        if (FStatusDisplay)
            FStatusDisplay->DestroyDisplay();
    });
}

void TIpCustomRasDialer::ShowErrorAndClose(const std::string& text)
{
    OnOwnThread([this, text] {
        if (!FStatusDisplay)
            return;
        FStatusDisplay->UpdateDisplay(text);
        FErrorClose->start(static_cast<int>(ErrorDisplayMs.load()));
    });
}

TRasDialParams TIpCustomRasDialer::AssembleDialParams() const
{
    auto guard = PropertyGuard();
    TRasDialParams p;
    p.EntryName = Cut(FEntryName, kEntryNameLen);
    p.PhoneNumber = Cut(FPhoneNumber, kPhoneNumberLen);
    p.CallbackNumber = Cut(FCallBackNumber, kCallbackNumberLen);
    p.UserName = Cut(FUserName, kUserNameLen);
    p.Password = Cut(FPassword, kPasswordLen);
    p.Domain = Cut(FDomain, kDomainLen);
    for (int option = edoUsePrefixSuffix; option <= edoSetSWCompression; ++option)
        if (FExtendedDialOptions & IpRasOption(TIpRasExtendedDialOption(option)))
            p.Options |= kDialOptionBits[option];
    return p;
}

int TIpCustomRasDialer::Dial()
{
    TRasBackend& ras = IpRasAccess().Api("RasDialA");
    Hangup();
    {
        auto guard = PropertyGuard();
        FConnection = 0;
        FDialWords.clear();
    }
    CreateDisplay(EntryName());
    const TRasDialParams params = AssembleDialParams();
    const std::string phonebook = Phonebook();

    if (DialMode() == dmAsync) {
        if (FAsyncDial.joinable())
            FAsyncDial.join();
        FAsyncDial = std::thread([this, &ras, phonebook, params] {
            auto post = [this](int state, int error) {
                FCalls.Post([this, state, error] { DialEvent(state, error); });
            };
            HRASCONN handle = 0;
            std::string words;
            const int rc = ras.Dial(
                phonebook, params, [&](int state) { post(state, 0); }, handle, words);
            {
                auto guard = PropertyGuard();
                FConnection = handle;
                FDialWords = words;
            }
            post(rc == 0 ? RasState::RASCS_Connected : RasState::RASCS_Disconnected, rc);
        });
        return 0;
    }

    HRASCONN handle = 0;
    std::string words;
    const int rc = ras.Dial(phonebook, params, nullptr, handle, words);
    if (rc != 0) {
        {
            auto guard = PropertyGuard();
            FDialWords = words;
        }
        ShowErrorAndClose(FailureText(rc));
        Hangup();
        return rc;
    }
    {
        auto guard = PropertyGuard();
        FConnection = handle;
    }
    // The display shows the dialling only; a synchronous dial has no
    // connected event to close it.
    CloseDisplay();
    StartWatch();
    return 0;
}

void TIpCustomRasDialer::Hangup()
{
    TRasBackend& ras = IpRasAccess().Api("RasHangUpA");
    if (const HRASCONN handle = GetConnection())
        ras.HangUp(handle);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(HangupTimeoutMs.load());
    while (const HRASCONN handle = GetConnection()) {
        TRasConnStatus status;
        if (ras.GetConnectStatus(handle, status) != 0 ||
            status.State == RasState::RASCS_Disconnected ||
            std::chrono::steady_clock::now() >= deadline)
            break;
        SleepMs(50);
    }
    {
        auto guard = PropertyGuard();
        FConnection = 0;
    }
    CloseDisplay();
    if (!FDestroying)
        DoOnDisconnected();
}

HRASCONN TIpCustomRasDialer::GetConnection()
{
    std::string entry;
    {
        auto guard = PropertyGuard();
        if (FConnection)
            return FConnection;
        entry = FEntryName;
    }
    if (entry.empty())
        return 0;
    std::vector<TRasConnection> connections;
    if (IpRasAccess().Api("RasEnumConnectionsA").EnumConnections(connections) != 0)
        return 0;
    for (const auto& c : connections)
        if (c.EntryName == entry)
            return c.Handle;
    return 0;
}

int TIpCustomRasDialer::GetFullConnectStatus(TRasConnStatus& status)
{
    TRasBackend& ras = IpRasAccess().Api("RasGetConnectStatusA");
    const HRASCONN handle = GetConnection();
    if (!handle)
        return RasCode::ERROR_INVALID_HANDLE;
    return ras.GetConnectStatus(handle, status);
}

int TIpCustomRasDialer::GetConnectState()
{
    TRasConnStatus status;
    return GetFullConnectStatus(status) == 0 ? status.State : RasState::RASCS_Disconnected;
}

std::string TIpCustomRasDialer::GetDeviceType()
{
    TRasConnStatus status;
    return GetFullConnectStatus(status) == 0 ? Cut(status.DeviceType, 16) : std::string();
}

std::string TIpCustomRasDialer::GetDeviceName()
{
    TRasConnStatus status;
    return GetFullConnectStatus(status) == 0 ? Cut(status.DeviceName, 128) : std::string();
}

std::string TIpCustomRasDialer::GetIpAddress()
{
    TRasBackend& ras = IpRasAccess().Api("RasGetProjectionInfoA");
    std::string address;
    const HRASCONN handle = GetConnection();
    if (!handle || ras.GetIpAddress(handle, address) != 0)
        return std::string();
    return Cut(address, 15);
}

std::string TIpCustomRasDialer::GetErrorText(int code)
{
    return Cut(IpRasAccess().Api("RasGetErrorStringA").ErrorText(code), 256);
}

std::string TIpCustomRasDialer::LastDialWords() const
{
    auto guard = PropertyGuard();
    return FDialWords;
}

std::string TIpCustomRasDialer::FailureText(int code) const
{
    const std::string words = LastDialWords();
    return GetErrorText(code) + (words.empty() ? "" : "\n" + words);
}

std::string TIpCustomRasDialer::GetStatusText(int state)
{
    for (const auto& s : kStateTexts)
        if (s.State == state)
            return IpStr(s.Text);
    return IpStr(IpConst::SRasUnknownStatus);
}

int TIpCustomRasDialer::ListEntries(std::vector<std::string>* list)
{
    if (!list)
        return -1;
    list->clear();
    std::vector<std::string> names;
    const int rc = IpRasAccess().Api("RasEnumEntriesA").EnumEntries(Phonebook(), names);
    if (rc == 0)
        *list = std::move(names);
    return rc;
}

int TIpCustomRasDialer::ListConnections(std::vector<std::string>* list)
{
    if (!list)
        return -1;
    list->clear();
    std::vector<TRasConnection> connections;
    const int rc = IpRasAccess().Api("RasEnumConnectionsA").EnumConnections(connections);
    if (rc == 0)
        for (const auto& c : connections)
            list->push_back(c.EntryName);
    return rc;
}

void TIpCustomRasDialer::SetEntryName(const std::string& name)
{
    {
        auto guard = PropertyGuard();
        FEntryName = name;
    }
    if (GetDialParameters() != 0)
        return;
    TIpRasEntryComboBox* box = EntryNameCbx();
    if (!box)
        return;
    box->setCurrentIndex(box->findText(ToQt(name), Qt::MatchExactly | Qt::MatchCaseSensitive));
    if (box->OnChange)
        box->OnChange(box);
}

int TIpCustomRasDialer::GetDialParameters()
{
    TRasDialParams params;
    params.EntryName = EntryName();
    if (params.EntryName.empty())
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    bool hasPassword = false;
    const int rc = IpRasAccess()
                       .Api("RasGetEntryDialParamsA")
                       .GetEntryDialParams(Phonebook(), params, hasPassword);
    if (rc != 0)
        return rc;
    auto guard = PropertyGuard();
    FPhoneNumber = Cut(params.PhoneNumber, kPhoneNumberLen);
    FCallBackNumber = Cut(params.CallbackNumber, kCallbackNumberLen);
    FUserName = Cut(params.UserName, kUserNameLen);
    FDomain = Cut(params.Domain, kDomainLen);
    FPassword = hasPassword ? Cut(params.Password, kPasswordLen) : std::string();
    return rc;
}

int TIpCustomRasDialer::SetDialParameters()
{
    if (EntryName().empty())
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    return IpRasAccess()
        .Api("RasSetEntryDialParamsA")
        .SetEntryDialParams(Phonebook(), AssembleDialParams(), false);
}

int TIpCustomRasDialer::CreatePhonebookEntry()
{
    IpRasAccess().Api("RasCreatePhonebookEntryA");
    TRasDlgInfo info;
    info.Flags = RASEDFLAG_NewEntry;
    RasEntryDlg(Phonebook(), "", info);
    return info.Error;
}

int TIpCustomRasDialer::EditPhonebookEntry()
{
    const std::string entry = EntryName();
    if (entry.empty())
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    IpRasAccess().Api("RasEditPhonebookEntryA");
    TRasDlgInfo info;
    RasEntryDlg(Phonebook(), entry, info);
    return info.Error;
}

int TIpCustomRasDialer::DeletePhonebookEntry()
{
    const std::string entry = EntryName();
    if (entry.empty())
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    return IpRasAccess().Api("RasDeleteEntryA").DeleteEntry(Phonebook(), entry);
}

void TIpCustomRasDialer::DialEvent(int state, int error)
{
    if (error != 0)
        DoOnDialError(error);
    else
        DoOnDialStatus(state);
}

void TIpCustomRasDialer::DoOnDialStatus(int state)
{
    if (state == RasState::RASCS_Connected) {
        DoOnConnected();
        return;
    }
    if (state == RasState::RASCS_Disconnected) {
        DoOnDisconnected();
        return;
    }
    UpdateDisplay(state == RasState::RASCS_ConnectDevice
                      ? IpStr(IpConst::SRasDialing) + PhoneNumber()
                      : GetStatusText(state));
    if (OnDialStatus)
        OnDialStatus(this, state);
}

void TIpCustomRasDialer::DoOnConnected()
{
    CloseDisplay();
    StartWatch();
    if (OnConnected)
        OnConnected(this);
}

void TIpCustomRasDialer::DoOnDialError(int code)
{
    ShowErrorAndClose(FailureText(code));
    if (OnDialError)
        OnDialError(this, code);
    Hangup();
}

void TIpCustomRasDialer::DoOnDisconnected()
{
    StopWatch();
    CloseDisplay();
    if (OnDisconnected)
        OnDisconnected(this);
}

void TIpCustomRasDialer::DoDisconnectTimer()
{
    if (GetConnectState() == RasState::RASCS_Disconnected)
        Hangup();
}

#define IP_RAS_PROPERTY(type, name, field)                                                         \
    type TIpCustomRasDialer::name() const                                                          \
    {                                                                                              \
        auto guard = PropertyGuard();                                                              \
        return field;                                                                              \
    }
#define IP_RAS_SETTER(type, name, field)                                                           \
    void TIpCustomRasDialer::Set##name(type value)                                                 \
    {                                                                                              \
        auto guard = PropertyGuard();                                                              \
        field = value;                                                                             \
    }
IP_RAS_PROPERTY(std::string, CallBackNumber, FCallBackNumber)
IP_RAS_SETTER(const std::string&, CallBackNumber, FCallBackNumber)
IP_RAS_PROPERTY(TIpRasDialMode, DialMode, FDialMode)
IP_RAS_SETTER(TIpRasDialMode, DialMode, FDialMode)
IP_RAS_PROPERTY(TIpRasExtendedDialOptions, ExtendedDialOptions, FExtendedDialOptions)
IP_RAS_SETTER(TIpRasExtendedDialOptions, ExtendedDialOptions, FExtendedDialOptions)
IP_RAS_PROPERTY(std::string, Domain, FDomain)
IP_RAS_SETTER(const std::string&, Domain, FDomain)
IP_RAS_PROPERTY(std::string, EntryName, FEntryName)
IP_RAS_PROPERTY(bool, HangupOnDestroy, FHangupOnDestroy)
IP_RAS_SETTER(bool, HangupOnDestroy, FHangupOnDestroy)
IP_RAS_PROPERTY(std::string, Password, FPassword)
IP_RAS_SETTER(const std::string&, Password, FPassword)
IP_RAS_PROPERTY(std::string, Phonebook, FPhonebook)
IP_RAS_SETTER(const std::string&, Phonebook, FPhonebook)
IP_RAS_PROPERTY(std::string, PhoneNumber, FPhoneNumber)
IP_RAS_SETTER(const std::string&, PhoneNumber, FPhoneNumber)
IP_RAS_PROPERTY(std::string, UserName, FUserName)
IP_RAS_SETTER(const std::string&, UserName, FUserName)
IP_RAS_PROPERTY(TIpAbstractRasStatus*, StatusDisplay, FStatusDisplay.data())
IP_RAS_SETTER(TIpAbstractRasStatus*, StatusDisplay, FStatusDisplay)
IP_RAS_PROPERTY(TIpRasEntryComboBox*, EntryNameCbx, FEntryNameCbx.data())
IP_RAS_SETTER(TIpRasEntryComboBox*, EntryNameCbx, FEntryNameCbx)
#undef IP_RAS_PROPERTY
#undef IP_RAS_SETTER

// ---- Entry box -------------------------------------------------------------------

TIpRasEntryComboBox::TIpRasEntryComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(false);
    if (parent)
        for (auto* dialer : parent->findChildren<TIpCustomRasDialer*>(Qt::FindDirectChildrenOnly))
            if (!dialer->EntryNameCbx()) {
                dialer->SetEntryNameCbx(this);
                FRasDialer = dialer;
                break;
            }
    connect(this, &QComboBox::activated, this, [this](int) {
        if (FRasDialer)
            FRasDialer->SetEntryName(FromQt(currentText()));
        if (OnChange)
            OnChange(this);
    });
}

void TIpRasEntryComboBox::Populate()
{
    if (!FRasDialer)
        return;
    const QSignalBlocker block(this);
    clear();
    std::vector<std::string> names;
    FRasDialer->ListEntries(&names);
    for (const auto& name : names)
        addItem(ToQt(name));
}

void TIpRasEntryComboBox::showPopup()
{
    Populate();
    QComboBox::showPopup();
}
