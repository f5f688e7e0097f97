#pragma once

#include "netlib/base/ip_base.h"
#include "platform/gui_message.h"
#include "platform/ras.h"

#include <QComboBox>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// The dial-up dialer: dials and hangs up a phone-book entry through the
// Remote Access Service stand-in (platform/ras.h), watches a dialled line
// for a drop, lists entries and connections, and turns states and codes into
// texts.
//
// Decisions:
// - Only a connection the dialer made or names is touched: with no handle of
//   its own and an empty entry name it finds no connection, so hanging up (at
//   destruction too) never ends another program's line.
// - A hang-up waits for the line to go with a bound (HangupTimeoutMs),
//   sleeping between looks, and stops as soon as the line reads disconnected
//   or its status cannot be had.
// - The fields are read and written under the property lock: the dial thread
//   and the GUI thread both reach them. Nothing holds the lock while RAS
//   works.
// - The disconnect watch and the status display belong to the dialer's own
//   (GUI) thread; a dial or hang-up on another thread reaches them through
//   queued calls. Events are raised on the thread that causes them.
// - A dial error stays on the status display for ErrorDisplayMs before the
//   display closes. The display shows the code's text followed by the
//   service's own words of the failure (pppd's last lines), which say more
//   than any code can.
// - In asynchronous mode the dial runs on a thread of the dialer's and its
//   events arrive on the GUI thread; the watch starts with the connected
//   event, since until then there is no line to watch.
// - Phone books are listed whole, however many entries they hold.

class TIpAbstractRasStatus;
class TIpRasEntryComboBox;

// A RAS failure as an exception; the dialer itself reports codes instead.
class EIpRasError : public EIpBaseException {
public:
    // "Ras Error (%d): on API '%s'"
    EIpRasError(int errorCode, const std::string& api);
    int ErrorCode() const { return FErrorCode; }

private:
    int FErrorCode;
};

// Access to the Remote Access Service: available when the platform's backend
// can be used; otherwise every entry point raises EIpAccessException.
class TIpRasAccess : public TIpBaseAccess {
public:
    bool GetRasAvailable() const;
    // The service behind the named entry point (as "RasDialA").
    TRasBackend& Api(const char* entryPoint);
};
// The process's one access object, made on first use.
TIpRasAccess& IpRasAccess();

enum TIpRasDialMode { dmSync = 0, dmAsync = 1 };

enum TIpRasExtendedDialOption {
    edoUsePrefixSuffix,
    edoAllowPausedStates,
    edoIgnoreModemSpeaker,
    edoSetModemSpeaker,
    edoIgnoreSWCompression,
    edoSetSWCompression
};
// A set of options: bit (1 << option) for each.
using TIpRasExtendedDialOptions = uint32_t;
inline constexpr TIpRasExtendedDialOptions IpRasOption(TIpRasExtendedDialOption option)
{
    return 1u << option;
}

using TIpNotifyEvent = std::function<void(QObject* sender)>;
using TIpRasErrorEvent = std::function<void(QObject* sender, int error)>;
using TIpRasStatusEvent = std::function<void(QObject* sender, int status)>;

class TIpCustomRasDialer : public TIpBaseComponent, public TIpPropertyLock {
    Q_OBJECT
public:
    // Create on the GUI thread. A status display or entry box already
    // owned by the same owner, and not linked yet, is linked both ways.
    explicit TIpCustomRasDialer(QObject* owner = nullptr);
    // Hangs up (HangupOnDestroy, RAS available) without raising
    // OnDisconnected.
    ~TIpCustomRasDialer() override;

    // Hangs up, then dials; 0 or the RAS code, after which it hangs up again.
    int Dial();
    // Hangs up this dialer's connection, if any, waits (bounded) until it is
    // gone, and raises OnDisconnected.
    void Hangup();

    // This dialer's connection: its own handle, else the first connection
    // of EntryName; 0 when there is none or the entry name is empty.
    HRASCONN GetConnection();
    int GetFullConnectStatus(TRasConnStatus& status);
    // The state, or RASCS_Disconnected when there is none.
    int GetConnectState();
    std::string GetDeviceType();
    std::string GetDeviceName();
    std::string GetIpAddress();
    // The text of a RAS code (at most 256 characters).
    static std::string GetErrorText(int code);
    // What the service said of the last failed dial in its own words (lines
    // of pppd's output), "" when nothing.
    std::string LastDialWords() const;
    static std::string GetStatusText(int state);
    // -1 without a list; else the RAS code, the names added on success.
    int ListEntries(std::vector<std::string>* list);
    int ListConnections(std::vector<std::string>* list);

    // Stores the name, then reads the entry's stored dial parameters.
    void SetEntryName(const std::string& name);
    // 623 without an entry name.
    int GetDialParameters();
    int SetDialParameters();
    // The entry dialog (GUI thread) for a new entry, or for EntryName; the
    // dialog's error field (0 also when cancelled).
    int CreatePhonebookEntry();
    int EditPhonebookEntry();
    int DeletePhonebookEntry();

    std::string CallBackNumber() const;
    void SetCallBackNumber(const std::string& value);
    TIpRasDialMode DialMode() const;
    void SetDialMode(TIpRasDialMode value);
    TIpRasExtendedDialOptions ExtendedDialOptions() const;
    void SetExtendedDialOptions(TIpRasExtendedDialOptions value);
    std::string Domain() const;
    void SetDomain(const std::string& value);
    std::string EntryName() const;
    bool HangupOnDestroy() const;
    void SetHangupOnDestroy(bool value);
    std::string Password() const;
    void SetPassword(const std::string& value);
    std::string Phonebook() const;
    void SetPhonebook(const std::string& value);
    std::string PhoneNumber() const;
    void SetPhoneNumber(const std::string& value);
    std::string UserName() const;
    void SetUserName(const std::string& value);
    TIpAbstractRasStatus* StatusDisplay() const;
    void SetStatusDisplay(TIpAbstractRasStatus* display);
    TIpRasEntryComboBox* EntryNameCbx() const;
    void SetEntryNameCbx(TIpRasEntryComboBox* box);

    // Set before dialling.
    TIpNotifyEvent OnConnected;
    TIpRasErrorEvent OnDialError;
    TIpRasStatusEvent OnDialStatus;
    TIpNotifyEvent OnDisconnected;

    // The longest a hang-up waits for the line to go.
    std::atomic<uint32_t> HangupTimeoutMs{10000};
    // How long a dial error stays on the status display.
    std::atomic<uint32_t> ErrorDisplayMs{4000};

    // The watch timer (tests look at it).
    QTimer* DisconnectTimer() const { return FDiscTimer; }

protected:
    // A dial event (asynchronous mode): an error, or a new state.
    void DialEvent(int state, int error);
    void DoOnDialStatus(int state);
    void DoOnConnected();
    void DoOnDialError(int code);
    void DoOnDisconnected();
    void DoDisconnectTimer();

private:
    // Runs f on the dialer's thread: at once when called there, else queued.
    void OnOwnThread(std::function<void()> f);
    void CreateDisplay(const std::string& entryName);
    void UpdateDisplay(const std::string& text);
    void CloseDisplay();
    // Shows the error and closes the display a while later.
    void ShowErrorAndClose(const std::string& text);
    void StartWatch();
    void StopWatch();
    TRasDialParams AssembleDialParams() const;
    // A failed dial's text for the display: the code's, then the words.
    std::string FailureText(int code) const;

    QTimer* FDiscTimer = nullptr;
    QTimer* FErrorClose = nullptr;
    TGuiCallQueue FCalls;
    std::thread FAsyncDial;
    std::atomic<bool> FDestroying{false};

    // Under the property lock.
    HRASCONN FConnection = 0;
    std::string FCallBackNumber;
    TIpRasDialMode FDialMode = dmAsync;
    TIpRasExtendedDialOptions FExtendedDialOptions = 0;
    std::string FDomain;
    std::string FEntryName;
    bool FHangupOnDestroy = true;
    std::string FPassword;
    std::string FPhonebook;
    std::string FPhoneNumber;
    std::string FUserName;
    std::string FDialWords;
    QPointer<TIpAbstractRasStatus> FStatusDisplay;
    QPointer<TIpRasEntryComboBox> FEntryNameCbx;
};

class TIpRasDialer : public TIpCustomRasDialer {
    Q_OBJECT
public:
    using TIpCustomRasDialer::TIpCustomRasDialer;
};

// A drop-down list of the phone-book entries, filled from its dialer each
// time it drops down; picking one sets the dialer's entry.
class TIpRasEntryComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TIpRasEntryComboBox(QWidget* parent = nullptr);

    TIpCustomRasDialer* RasDialer() const { return FRasDialer; }
    void SetRasDialer(TIpCustomRasDialer* dialer) { FRasDialer = dialer; }
    std::string GetVersion() const { return IpShortVersion(); }
    void SetVersion(const std::string&) {}
    // Refills the items from the dialer's phone book.
    void Populate();

    // Raised when the choice changes (also when the dialer selects it).
    std::function<void(TIpRasEntryComboBox*)> OnChange;

    void showPopup() override;

private:
    QPointer<TIpCustomRasDialer> FRasDialer;
};
