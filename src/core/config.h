#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/date_time.h"

// The station's working role, read at start; a change takes effect at the
// next start. Stored in [GENERAL] SOFTWAREVERSION as "REMOTE",
// "MAIL GATEWAY" or "MAIL/FAX GATEWAY".
enum class TStationRole { Remote, MailGateway, MailFaxGateway };

const char* RoleText(TStationRole role);
// The role for a stored text (letter case ignored); Remote for anything else.
TStationRole RoleFromText(const std::string& text);

// The configuration store: every setting of the INI file as a public field,
// grouped by INI section (field names follow the keys). One instance is made
// at start and passed to every window and worker.
//
// Stored forms: booleans "TRUE"/"FALSE"; the mail servers' switches
// "ON"/"OFF"; the gateway's scheduled-connection switches
// "ENABLED"/"DISABLED"; passwords encoded (password_codec.h), plain in
// memory; times of day as date-time numbers. A missing key takes its default;
// the defaults are listed once, in config.cpp.
//
// Threads: the GUI thread changes fields (settings dialogs); other threads
// (router, mail servers, dial thread) read them. Whoever touches a text field
// while another thread may change it holds Lock() for that moment; Load and
// Save take it themselves.
class TConfig {
public:
    static constexpr const char* kIniFileName = "skipmail.INI";

    struct TGeneral {
        bool HideFreq;     // HIDEFREQ: channel lists without frequencies
        TStationRole Role; // SOFTWAREVERSION
    } General;

    struct TAleVeskar {
        bool Enabled;           // ENABLED: automatic calling
        bool Private;           // PRIVATE: private network code in use
        bool BusyChannelDetect; // BUSYCHANNELDETECT
        std::string Mode;       // MODE
        int Attempts;           // ATTEMPTS: link retries per message (1-100)
        int Delay;              // DELAY: minutes between attempts (5-240)
        int CallLength;         // CALLLENGTH: 28, 56, 111, 166 or 221
        std::string Mask[6];    // MASK1 to MASK6, four characters each
    } AleVeskar;

    struct TMail {
        int MaxMailSize;     // MAXMAILSIZE: largest message from local users, K bytes
        std::string Gateway; // GATEWAY: mail gateway station; empty: this station
    } Mail;

    struct TFax {
        std::string Gateway; // GATEWAY: fax gateway station
    } Fax;

    struct TPop3 {
        bool Enabled; // ENABLED ("ON"/"OFF")
        int Port;     // POP3PORT
    } Pop3;

    struct TSmtp {
        bool Enabled; // ENABLED ("ON"/"OFF")
        int Port;     // SMTPPORT
    } Smtp;

    struct TModem {
        int Port; // PORT: COM number of the HF modem
    } Modem;

    struct T950 {
        bool Tuner;             // TUNER: antenna tuner
        std::string ResumeScan; // RESUMESCAN: "0" to "3"
    } Radio950;

    struct TPassword {
        std::string Pass; // PASS, stored encoded
    } Mailbox, Station;

    struct TGateway {
        std::string Pass;               // PASS, stored encoded
        std::string SmtpAddress;        // SMTPADDRESS
        std::string SmtpMailFrom;       // SMTPMAILFROM
        bool SmtpAuthEnabled;           // SMTPAUTHENABLED: POP before SMTP
        bool SmtpEhloAuthEnabled;       // SMTPEHLOAUTHENABLED
        std::string SmtpAuthUser;       // SMTPAUTHUSER
        std::string SmtpAuthPass;       // SMTPAUTHPASS, stored encoded
        bool CheckMailIntervalEnabled;  // CHECKMAILINTERVALENABLED
        int CheckMailInterval;          // CHECKMAILINTERVAL, minutes
        int DeliverMailImmediately;     // DELIVERMAILIMMEDIATELY, 0 or 1
        bool DialupEnabled;             // DIALUPENABLED
        std::string DialupConnection;   // DIALUPCONNECTION
        std::string DialupLoginName;    // DIALUPLOGINNAME
        std::string DialupPassword;     // DIALUPPASSWORD, stored encoded
        std::int32_t MaxMailFilterSize; // MAXMAILFILTERSIZE, bytes
        bool ReturnErrorEnabled;        // RETURNERRORENABLED
        // MAILSERVERSCHEDULEDLINK1..4 (time of day) and ...1ENABLED..4ENABLED
        TDateTime MailServerScheduledLink[4];
        bool MailServerScheduledLinkEnabled[4];
    } Gateway;

    struct TFaxModem {
        std::int32_t Port;       // PORT: COM number of the fax modem
        std::string Init;        // INIT
        std::string Prefix;      // PREFIX
        std::int32_t Retry;      // RETRY: dial attempts
        std::int32_t RetryDelay; // RETRYDELAY: minutes
        std::string DialTone;    // DIALTONE
    } FaxModem;

    struct TFaxReceive {
        bool ForwardEnabled;        // FORWARDENABLED
        bool PrintEnabled;          // PRINTENABLED
        bool ReceiveEnabled;        // RECEIVEENABLED
        std::string ForwardAddress; // FORWARDADDRESS, an HF address
        std::int32_t NumRings;      // NUMRINGS
    } FaxReceive;

    struct TRadio {
        std::string Type; // TYPE: radio model, "NONE" without a radio
    } Radio;

    // Held in memory only, never in the INI file: computed from the masks at
    // load (0 while PRIVATE is off) and by the station configuration dialog.
    std::int32_t PrivateNetworkCode = 0;

    // Filled by the link control from the modem's version reports; empty at
    // start and never stored.
    std::string DspVersion;
    std::string CpuVersion;
    std::string WaveformVariant;

    // Sets the defaults and loads the INI file (DataRoot/skipmail.INI unless
    // a path is given). The start-up saves at once after creating it.
    explicit TConfig(std::string fileName = std::string());
    // Saves.
    ~TConfig();

    TConfig(const TConfig&) = delete;
    TConfig& operator=(const TConfig&) = delete;

    const std::string& FileName() const { return m_fileName; }

    void SetDefaults();
    // Reads every key (a missing key takes its default) and computes the
    // private network code. Numbers are decimal as written. When lines of
    // the file are not understood (no INI line, a broken or repeated section
    // header, or a value not of its setting's kind or out of its range, such
    // as a port above 65535), they are logged and
    // a copy of the file is kept beside it (skipmail.INI.bad, or .bad.1 and
    // on when an older copy differs) before anything is saved over it;
    // without a copy it is not saved over. Passwords that do not decode are
    // logged too.
    void Load();
    // Writes every setting, keeping whatever else the file holds. The
    // GATEWAY section only on a gateway role, FAXMODEM and FAXRECEIVE only on
    // a mail and fax gateway. False (and the error reported) when the file
    // cannot be written.
    bool Save();

    // The password that a login against `field` (one of the password
    // fields) must match. None while the stored one did not decode and no
    // new one is set: the password is unknown, so no login succeeds.
    std::optional<std::string> LoginPassword(const std::string& field) const;
    // A stored password that did not decode, as Load found it.
    struct TUnreadPassword {
        std::string Key;    // "[SECTION] KEY", for reports
        std::string Stored; // as the file holds it
    };

    bool IsGateway() const { return General.Role != TStationRole::Remote; }
    bool IsMailFaxGateway() const { return General.Role == TStationRole::MailFaxGateway; }

    std::unique_lock<std::recursive_mutex> Lock() const
    {
        return std::unique_lock<std::recursive_mutex>(m_lock);
    }

    // The private network code of six masks: their texts joined in order;
    // each character at position i (from 0) adds (i + 10) times its code
    // taken as a signed 8-bit value.
    static std::int32_t ComputePrivateNetworkCode(const std::string (&masks)[6]);
    // The code for the flag and masks as stored: 0 while PRIVATE is off,
    // otherwise computed from the first 4 characters of each mask.
    void UpdatePrivateNetworkCode();

private:
    std::string m_fileName;
    // Why the file must not be saved over (it could not be read, or no copy
    // of it could be kept); empty when it may be.
    std::string m_keepFile;
    // Stored passwords that did not decode, by field: saved back as they
    // were while the field stays empty.
    std::map<const std::string*, TUnreadPassword> m_unreadPasswords;
    mutable std::recursive_mutex m_lock;
};
