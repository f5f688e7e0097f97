#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TApdFaxUnpacker;

// Mail that carries the pages of a fax: the received faxes the gateway
// forwards, and the faxes it could not deliver, back to the administrator.
//
// Choices made here:
// - The text lines go into a text part of their own ahead of the pages, so
//   every mail reader shows them.
// - Each page is an attachment "Page" + n + ".BMP" (a monochrome Windows
//   bitmap, from 1). When that mail would pass the station's size limit
//   ([MAIL] MAXMAILSIZE, which the router enforces), the pages go as PNG
//   pictures "Page" + n + ".PNG" instead; when even that is too large, the
//   mail carries no pages and says where the fax is kept.
// - The page files are written into a scratch directory that the caller
//   owns and removes.
// - The mail goes to the router through the queue, with its envelope line,
//   under the tick count's name.
namespace FaxPageMail {

enum class TPageForm { Bmp, Png, None };

struct THead {
    std::string From;
    std::string Subject;
    std::string To;
    std::vector<std::string> Text;
};

// The message (without envelope) with the pages of the APF file `fax`.
// `limitBytes` of 0 or less sets no limit. `keptAt` names the fax in the
// note of a mail without pages. Throws the unpacker's and the file
// system's errors.
std::string Compose(TApdFaxUnpacker& unpacker, const std::string& fax, const std::string& scratch,
                    const THead& head, int64_t limitBytes, const std::string& keptAt,
                    TPageForm& form);

// The message with the head's text only, no pages.
std::string ComposeText(const THead& head, const std::string& scratch);

// The station's size limit in bytes ([MAIL] MAXMAILSIZE K bytes); 0 for none.
int64_t StationLimit(int maxMailKBytes);

// Puts the message into QUEUE with a "RCPT: " line for each recipient in
// front, named by the tick count; gives the file's path. Throws
// std::system_error.
std::string Queue(const std::vector<std::string>& recipients, const std::string& message);
// A whole queue file, envelope lines included; QUEUE is made when missing.
std::string QueueFile(const std::string& content);

} // namespace FaxPageMail
