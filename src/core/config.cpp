#include "core/config.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <span>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

#include "core/core_report.h"
#include "core/password_codec.h"
#include "core/text_util.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/profile.h"

namespace {

enum class BoolForm { TrueFalse, OnOff, EnabledDisabled };

const char* TrueWord(BoolForm f)
{
    return f == BoolForm::TrueFalse ? "TRUE" : f == BoolForm::OnOff ? "ON" : "ENABLED";
}

const char* FalseWord(BoolForm f)
{
    return f == BoolForm::TrueFalse ? "FALSE" : f == BoolForm::OnOff ? "OFF" : "DISABLED";
}

// The values a number setting takes; a stored value outside them is a line
// not understood, never cut or wrapped into range.
struct TRange {
    int Min = INT32_MIN;
    int Max = INT32_MAX;
    std::span<const int> Only = {}; // when given, these values alone

    bool Holds(int v) const
    {
        return v >= Min && v <= Max &&
               (Only.empty() || std::find(Only.begin(), Only.end(), v) != Only.end());
    }
};

constexpr TRange kTcpPort{1, 65535};
constexpr TRange kComPort{1, 255};
constexpr int kCallLengths[] = {28, 56, 111, 166, 221};

// Every key of the INI file with its field and its default, in the order in
// which a new file lists them. Where nothing else fixes a default, the choice is
// what a new remote station needs to start and work:
//   SMTP and POP3 on, on ports 25 and 110; [RADIO] TYPE "NONE";
//   [MODEM] PORT 1; role remote station; empty configuration passwords;
//   the designed dialog values for ATTEMPTS 10, DELAY 15, CALLLENGTH 56
//   ("1 minute"), MASK1..6 "Zq4v", MAXMAILSIZE 50 K, CHECKMAILINTERVAL 20;
//   MODE "VESKAR"; RESUMESCAN "0"; everything else off, 0 or empty.
template <class V> void ForEachSetting(TConfig& c, V& v)
{
    v.Bool("GENERAL", "HIDEFREQ", c.General.HideFreq, BoolForm::TrueFalse, false);
    v.Role("GENERAL", "SOFTWAREVERSION", c.General.Role, TStationRole::Remote);

    v.Bool("ALE/VESKAR", "ENABLED", c.AleVeskar.Enabled, BoolForm::TrueFalse, false);
    v.Bool("ALE/VESKAR", "PRIVATE", c.AleVeskar.Private, BoolForm::TrueFalse, false);
    v.Bool("ALE/VESKAR", "BUSYCHANNELDETECT", c.AleVeskar.BusyChannelDetect, BoolForm::TrueFalse,
           false);
    v.Text("ALE/VESKAR", "MODE", c.AleVeskar.Mode, "VESKAR");
    v.Int("ALE/VESKAR", "ATTEMPTS", c.AleVeskar.Attempts, 10, {1, 100});
    v.Int("ALE/VESKAR", "DELAY", c.AleVeskar.Delay, 15, {5, 240});
    v.Int("ALE/VESKAR", "CALLLENGTH", c.AleVeskar.CallLength, 56, {.Only = kCallLengths});
    static const char* const masks[6] = {"MASK1", "MASK2", "MASK3", "MASK4", "MASK5", "MASK6"};
    for (int i = 0; i < 6; ++i)
        v.Text("ALE/VESKAR", masks[i], c.AleVeskar.Mask[i], "Zq4v");

    v.Int("MAIL", "MAXMAILSIZE", c.Mail.MaxMailSize, 50, {0, 9999});
    v.Text("MAIL", "GATEWAY", c.Mail.Gateway, "");

    v.Text("FAX", "GATEWAY", c.Fax.Gateway, "");

    v.Bool("POP3", "ENABLED", c.Pop3.Enabled, BoolForm::OnOff, true);
    v.Int("POP3", "POP3PORT", c.Pop3.Port, 110, kTcpPort);

    v.Bool("SMTP", "ENABLED", c.Smtp.Enabled, BoolForm::OnOff, true);
    v.Int("SMTP", "SMTPPORT", c.Smtp.Port, 25, kTcpPort);

    v.Int("MODEM", "PORT", c.Modem.Port, 1, kComPort);

    v.Bool("950", "TUNER", c.Radio950.Tuner, BoolForm::TrueFalse, false);
    v.Text("950", "RESUMESCAN", c.Radio950.ResumeScan, "0");

    v.Password("MAILBOX", "PASS", c.Mailbox.Pass, "");

    v.Password("STATION", "PASS", c.Station.Pass, "");

    v.Password("GATEWAY", "PASS", c.Gateway.Pass, "");
    v.Text("GATEWAY", "SMTPADDRESS", c.Gateway.SmtpAddress, "");
    v.Text("GATEWAY", "SMTPMAILFROM", c.Gateway.SmtpMailFrom, "");
    v.Bool("GATEWAY", "SMTPAUTHENABLED", c.Gateway.SmtpAuthEnabled, BoolForm::TrueFalse, false);
    v.Bool("GATEWAY", "SMTPEHLOAUTHENABLED", c.Gateway.SmtpEhloAuthEnabled, BoolForm::TrueFalse,
           false);
    v.Text("GATEWAY", "SMTPAUTHUSER", c.Gateway.SmtpAuthUser, "");
    v.Password("GATEWAY", "SMTPAUTHPASS", c.Gateway.SmtpAuthPass, "");
    v.Bool("GATEWAY", "CHECKMAILINTERVALENABLED", c.Gateway.CheckMailIntervalEnabled,
           BoolForm::TrueFalse, false);
    v.Int("GATEWAY", "CHECKMAILINTERVAL", c.Gateway.CheckMailInterval, 20, {1, INT32_MAX});
    v.Int("GATEWAY", "DELIVERMAILIMMEDIATELY", c.Gateway.DeliverMailImmediately, 0, {0, 1});
    v.Bool("GATEWAY", "DIALUPENABLED", c.Gateway.DialupEnabled, BoolForm::TrueFalse, false);
    v.Text("GATEWAY", "DIALUPCONNECTION", c.Gateway.DialupConnection, "");
    v.Text("GATEWAY", "DIALUPLOGINNAME", c.Gateway.DialupLoginName, "");
    v.Password("GATEWAY", "DIALUPPASSWORD", c.Gateway.DialupPassword, "");
    v.Int("GATEWAY", "MAXMAILFILTERSIZE", c.Gateway.MaxMailFilterSize, 512000, {0, INT32_MAX});
    v.Bool("GATEWAY", "RETURNERRORENABLED", c.Gateway.ReturnErrorEnabled, BoolForm::TrueFalse,
           true);
    static const char* const links[4] = {"MAILSERVERSCHEDULEDLINK1", "MAILSERVERSCHEDULEDLINK2",
                                         "MAILSERVERSCHEDULEDLINK3", "MAILSERVERSCHEDULEDLINK4"};
    static const char* const linkSwitches[4] = {
        "MAILSERVERSCHEDULEDLINK1ENABLED", "MAILSERVERSCHEDULEDLINK2ENABLED",
        "MAILSERVERSCHEDULEDLINK3ENABLED", "MAILSERVERSCHEDULEDLINK4ENABLED"};
    for (int i = 0; i < 4; ++i) {
        v.Time("GATEWAY", links[i], c.Gateway.MailServerScheduledLink[i], 0.0);
        v.Bool("GATEWAY", linkSwitches[i], c.Gateway.MailServerScheduledLinkEnabled[i],
               BoolForm::EnabledDisabled, false);
    }

    v.Int("FAXMODEM", "PORT", c.FaxModem.Port, 3, kComPort);
    v.Text("FAXMODEM", "INIT", c.FaxModem.Init, "");
    v.Text("FAXMODEM", "PREFIX", c.FaxModem.Prefix, "");
    v.Int("FAXMODEM", "RETRY", c.FaxModem.Retry, 3);
    v.Int("FAXMODEM", "RETRYDELAY", c.FaxModem.RetryDelay, 10);
    v.Text("FAXMODEM", "DIALTONE", c.FaxModem.DialTone, "Tone");

    v.Bool("FAXRECEIVE", "FORWARDENABLED", c.FaxReceive.ForwardEnabled, BoolForm::TrueFalse, false);
    v.Bool("FAXRECEIVE", "PRINTENABLED", c.FaxReceive.PrintEnabled, BoolForm::TrueFalse, false);
    v.Bool("FAXRECEIVE", "RECEIVEENABLED", c.FaxReceive.ReceiveEnabled, BoolForm::TrueFalse, false);
    // "admin" alone is the administrator at this station.
    v.Text("FAXRECEIVE", "FORWARDADDRESS", c.FaxReceive.ForwardAddress, "admin");
    v.Int("FAXRECEIVE", "NUMRINGS", c.FaxReceive.NumRings, 3);

    v.Text("RADIO", "TYPE", c.Radio.Type, "NONE");
}

struct DefaultsVisitor {
    void Bool(const char*, const char*, bool& f, BoolForm, bool d) { f = d; }
    void Int(const char*, const char*, int& f, int d, TRange = {}) { f = d; }
    void Text(const char*, const char*, std::string& f, const char* d) { f = d; }
    void Password(const char*, const char*, std::string& f, const char* d) { f = d; }
    void Time(const char*, const char*, TDateTime& f, TDateTime d) { f = d; }
    void Role(const char*, const char*, TStationRole& f, TStationRole d) { f = d; }
};

std::string FormatDateTimeNumber(TDateTime value)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    return std::string(buf, r.ptr);
}

bool ParseDateTimeNumber(const std::string& text, TDateTime& value)
{
    double v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(v))
        return DateTime::ParseTimeOfDay(text, value);
    value = v;
    return true;
}

using TUnreadPasswords = std::map<const std::string*, TConfig::TUnreadPassword>;

struct LoadVisitor {
    const TIniFile& ini;
    TUnreadPasswords& unread;
    // Lines whose value is not of its setting's kind: the setting keeps its
    // default, which a save would write over the operator's value.
    CoreReport::TFileLines& badValues;

    bool Has(const char* s, const char* k) const { return ini.ValueExists(s, k); }
    std::string Value(const char* s, const char* k) const { return ini.ReadString(s, k, ""); }
    void NotUnderstood(const char* s, const char* k) { badValues.push_back(ini.KeyLine(s, k)); }

    void Bool(const char* s, const char* k, bool& f, BoolForm form, bool)
    {
        if (!Has(s, k))
            return;
        std::string v = Value(s, k);
        if (SameTextIgnoreCase(v, TrueWord(form)) || v == "1")
            f = true;
        else if (SameTextIgnoreCase(v, FalseWord(form)) || v == "0")
            f = false;
        else if (!v.empty())
            NotUnderstood(s, k);
    }
    void Int(const char* s, const char* k, int& f, int, TRange range = {})
    {
        if (Value(s, k).empty())
            return;
        // A value that is no number reads as whatever default is asked for.
        const int n = ini.ReadInteger(s, k, 0);
        if ((n != 0 || ini.ReadInteger(s, k, 1) != 1) && range.Holds(n))
            f = n;
        else
            NotUnderstood(s, k);
    }
    void Text(const char* s, const char* k, std::string& f, const char*)
    {
        if (Has(s, k))
            f = Value(s, k);
    }
    void Password(const char* s, const char* k, std::string& f, const char*)
    {
        if (!Has(s, k))
            return;
        const std::string stored = Value(s, k);
        if (std::optional<std::string> plain = DecodePassword(stored)) {
            f = *plain;
        } else {
            f.clear();
            unread[&f] = {std::string("[") + s + "] " + k, stored};
        }
    }
    void Time(const char* s, const char* k, TDateTime& f, TDateTime)
    {
        TDateTime v = 0;
        if (!Has(s, k))
            return;
        if (ParseDateTimeNumber(Value(s, k), v))
            f = v;
        else if (!Value(s, k).empty())
            NotUnderstood(s, k);
    }
    void Role(const char* s, const char* k, TStationRole& f, TStationRole)
    {
        if (!Has(s, k))
            return;
        const std::string v = Value(s, k);
        f = RoleFromText(v);
        if (!v.empty() && !SameTextIgnoreCase(v, RoleText(f)))
            NotUnderstood(s, k);
    }
};

struct SaveVisitor {
    TIniFile& ini;
    TStationRole role;
    const TUnreadPasswords& unread;

    bool Writes(const char* section) const
    {
        std::string s = section;
        if (s == "GATEWAY")
            return role != TStationRole::Remote;
        if (s == "FAXMODEM" || s == "FAXRECEIVE")
            return role == TStationRole::MailFaxGateway;
        return true;
    }
    void Put(const char* s, const char* k, const std::string& v)
    {
        if (Writes(s))
            ini.WriteString(s, k, v);
    }

    void Bool(const char* s, const char* k, bool& f, BoolForm form, bool)
    {
        Put(s, k, f ? TrueWord(form) : FalseWord(form));
    }
    void Int(const char* s, const char* k, int& f, int, TRange = {})
    {
        Put(s, k, std::to_string(f));
    }
    void Text(const char* s, const char* k, std::string& f, const char*) { Put(s, k, f); }
    void Password(const char* s, const char* k, std::string& f, const char*)
    {
        auto it = unread.find(&f);
        Put(s, k, f.empty() && it != unread.end() ? it->second.Stored : EncodePassword(f));
    }
    void Time(const char* s, const char* k, TDateTime& f, TDateTime)
    {
        Put(s, k, FormatDateTimeNumber(f));
    }
    void Role(const char* s, const char* k, TStationRole& f, TStationRole)
    {
        Put(s, k, RoleText(f));
    }
};

// Keeps `data`, the file's bytes, beside it as <path>.bad, or .bad.1 and on
// when an older copy holds other bytes; a copy that holds these already
// serves. The copy's name; throws when none can be written.
std::string KeepCopy(const std::string& path, const std::string& data)
{
    for (int n = 0; n < 100; ++n) {
        const std::string name = path + ".bad" + (n > 0 ? "." + std::to_string(n) : "");
        struct stat st;
        if (::lstat(name.c_str(), &st) != 0) {
            WriteFileAtomic(name, data);
            return name;
        }
        std::string old;
        if (ReadWholeFile(name, old) && old == data)
            return name;
    }
    throw std::runtime_error("every name for a copy is taken");
}

} // namespace

const char* RoleText(TStationRole role)
{
    switch (role) {
    case TStationRole::MailGateway:
        return "MAIL GATEWAY";
    case TStationRole::MailFaxGateway:
        return "MAIL/FAX GATEWAY";
    case TStationRole::Remote:
        break;
    }
    return "REMOTE";
}

TStationRole RoleFromText(const std::string& text)
{
    if (SameTextIgnoreCase(text, "MAIL GATEWAY"))
        return TStationRole::MailGateway;
    if (SameTextIgnoreCase(text, "MAIL/FAX GATEWAY"))
        return TStationRole::MailFaxGateway;
    return TStationRole::Remote;
}

TConfig::TConfig(std::string fileName)
    : m_fileName(fileName.empty() ? DataRoot::Path(kIniFileName) : std::move(fileName))
{
    Load();
}

TConfig::~TConfig()
{
    Save();
}

void TConfig::SetDefaults()
{
    auto guard = Lock();
    DefaultsVisitor v;
    ForEachSetting(*this, v);
    PrivateNetworkCode = 0;
}

void TConfig::Load()
{
    bool unreadable = false;
    CoreReport::TFileLines badLines;
    std::string copy;
    std::string copyError;
    std::vector<std::string> unreadKeys;
    {
        auto guard = Lock();
        SetDefaults();
        // A file that is there but cannot be read is never saved over: the
        // station runs on the defaults and keeps the operator's file.
        std::string data;
        struct stat st;
        unreadable = !ReadWholeFile(m_fileName, data) && ::lstat(m_fileName.c_str(), &st) == 0 &&
                     !S_ISDIR(st.st_mode);
        m_keepFile =
            unreadable ? "the file could not be read at start and is kept as it is" : std::string();
        m_unreadPasswords.clear();
        TIniFile ini(m_fileName);
        LoadVisitor v{ini, m_unreadPasswords, badLines};
        ForEachSetting(*this, v);
        UpdatePrivateNetworkCode();
        badLines.insert(badLines.end(), ini.BadLines().begin(), ini.BadLines().end());
        std::sort(badLines.begin(), badLines.end());
        if (!badLines.empty()) {
            try {
                copy = KeepCopy(m_fileName, data);
            } catch (const std::exception& e) {
                copyError = e.what();
                m_keepFile = "no copy of the file as it was could be kept";
            }
        }
        for (const auto& [field, password] : m_unreadPasswords)
            unreadKeys.push_back(password.Key);
    }
    // Reported without the lock, as Save does.
    if (unreadable)
        CoreReport::Error(std::string("Error Reading ") + kIniFileName + "\n" + m_fileName +
                          "\nThe station runs on default settings and keeps the file as it is.");
    const std::string name = kIniFileName;
    if (!badLines.empty()) {
        CoreReport::LogFileLines(name, badLines, "is not understood");
        CoreReport::Log(name + ": settings on lines not understood take their defaults; " +
                        (copyError.empty() ? "the file as it was is kept as " + copy
                                           : "no copy of the file could be kept (" + copyError +
                                                 "), so it is not saved over"));
    }
    for (const std::string& key : unreadKeys)
        CoreReport::Log(name + ": " + key +
                        " cannot be read (kept as it is); no password opens its dialog until "
                        "the key is corrected or removed in the file");
}

bool TConfig::Save()
{
    std::string error;
    {
        auto guard = Lock();
        if (!m_keepFile.empty())
            error = m_keepFile;
        else
            try {
                TIniFile ini(m_fileName);
                SaveVisitor v{ini, General.Role, m_unreadPasswords};
                ForEachSetting(*this, v);
                ini.UpdateFile();
                return true;
            } catch (const std::exception& e) {
                error = e.what();
            }
    }
    // Reported without the lock: the report may wait for the GUI thread,
    // which may be waiting for the settings.
    CoreReport::Error(std::string("Error Saving ") + kIniFileName + "\n" + error);
    return false;
}

std::optional<std::string> TConfig::LoginPassword(const std::string& field) const
{
    auto guard = Lock();
    if (field.empty() && m_unreadPasswords.count(&field) != 0)
        return std::nullopt;
    return field;
}

std::int32_t TConfig::ComputePrivateNetworkCode(const std::string (&masks)[6])
{
    std::string joined;
    for (const std::string& m : masks)
        joined += m;
    std::uint32_t sum = 0; // wraps like the signed 32-bit sum it stands for
    for (size_t i = 0; i < joined.size(); ++i)
        sum += static_cast<std::uint32_t>(
            static_cast<std::int32_t>(i + 10) *
            static_cast<std::int32_t>(static_cast<signed char>(joined[i])));
    return static_cast<std::int32_t>(sum);
}

void TConfig::UpdatePrivateNetworkCode()
{
    auto guard = Lock();
    if (!AleVeskar.Private) {
        PrivateNetworkCode = 0;
        return;
    }
    std::string firstFour[6];
    for (int i = 0; i < 6; ++i)
        firstFour[i] = AleVeskar.Mask[i].substr(0, 4);
    PrivateNetworkCode = ComputePrivateNetworkCode(firstFour);
}
