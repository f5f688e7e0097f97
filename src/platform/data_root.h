#pragma once

#include <string>

// The data root is the working directory at start; every data path is formed
// on it with "/". Directory names are spelled here and nowhere else, since
// Linux names are case-sensitive.
namespace DataRoot {

// Captures the current working directory once; later calls keep the first.
void Capture();
// Points the root elsewhere (tests, and the demo station).
void Set(const std::string& dir);
// The root without a trailing "/".
const std::string& Get();
// Root + "/" + relative path.
std::string Path(const std::string& relative);

} // namespace DataRoot

namespace DirName {
inline constexpr const char* Queue = "QUEUE";
// Queue files the router cannot parse or read are moved here.
inline constexpr const char* QueueBad = "QUEUE/BAD";
inline constexpr const char* Mail = "MAIL";
inline constexpr const char* Stations = "STATIONS";
inline constexpr const char* Temp = "TEMP";
inline constexpr const char* TempStations = "TEMP/STATIONS";
inline constexpr const char* TempSmtp = "TEMP/SMTP";
// The fax gateway's scratch files (attachments, pages), its own alone.
inline constexpr const char* TempFax = "TEMP/FAX";
inline constexpr const char* Files = "Files";
inline constexpr const char* Logs = "LOGS";
inline constexpr const char* OutFax = "OUTFAX";
inline constexpr const char* MailGateway = "MAIL/GATEWAY";
inline constexpr const char* MailAdmin = "MAIL/admin";
inline constexpr const char* MailFax = "MAIL/FAX";
inline constexpr const char* MailFax2 = "MAIL/Fax2";
// Fax mail that cannot be made into a fax is moved here.
inline constexpr const char* MailFax2Bad = "MAIL/Fax2/BAD";
} // namespace DirName
