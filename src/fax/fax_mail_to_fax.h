#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TApdFaxConverter;
class TApdFaxClient;
class TIpMimeEntity;

// Mail for FAX2 becomes a fax job: one message of the fax mailbox at a
// time, its subject the number to dial, its text parts and its bitmap
// attachments the pages.
//
// Choices made here:
// - The subject must be a fax number: dial characters only (digits,
//   blanks, "+", "-", ",", "(", ")", "W", "P", "T"), at least one digit, and
//   no longer than the modem dials. Anything else goes back to the sender
//   with the reason, so no text of a mail ever reaches the modem as a
//   command.
// - Every part is written under a generated name into a scratch directory
//   of its own, removed with all it holds once the message is done: an
//   attachment's own name is never used as a path, and two text parts never
//   share a file.
// - Parts nested in multipart parts count in their order; of a
//   multipart/alternative only the plain text (else its first part) is
//   used.
// - A message that cannot be made into a fax (a picture that is not a
//   Windows bitmap, a message that cannot be decoded, nothing to fax) is
//   moved to MAIL/Fax2/BAD and the administrator is told; the next message
//   follows at the next poll.
// - A picture is brought to 4 bits per pixel by taking for each pixel the
//   nearest of the standard 16 colours (black, white, the greys C0 and 80,
//   and the full and half primary and secondary colours), then dithered.
// - Notices go to the router through the queue, with their envelope line.
// - Job names come from the tick count; a name already taken in the job
//   directory moves on to the next number.
class TFaxMailToFax {
public:
    enum class TResult { Empty, JobWritten, Returned, SetAside, Failed };
    using TLog = std::function<void(const std::string& text)>;

    // Paper of the pictures: A4 at 200 dots per inch.
    static constexpr int kPageWidth = 1654;
    static constexpr int kPageHeight = 2338;

    TFaxMailToFax(TApdFaxConverter& converter, TApdFaxClient& client, TLog log);

    // Directories, each with a trailing "/".
    std::string MailboxDir;
    std::string OutFaxDir;
    std::string ScratchDir;
    std::string AsideDir;

    // Takes the first message of the mailbox; `jobId` gets the job's name.
    TResult PollOnce(std::string* jobId = nullptr);

private:
    struct TPart {
        TIpMimeEntity* Entity;
        bool Attachment;
    };
    void CollectParts(TIpMimeEntity& entity, std::vector<TPart>& parts, int depth);
    std::string NewJobId();
    // Converts the parts into page files under `work`; throws what ends the
    // message.
    std::vector<std::string> MakePages(const std::vector<TPart>& parts, const std::string& work);
    void ConvertText(const std::string& text, const std::string& out);
    void ConvertPicture(const std::string& file, const std::string& name, const std::string& out);
    TResult Return(const std::string& path, const std::string& content, const std::string& why);
    TResult SetAside(const std::string& path, const std::string& content, const std::string& why);

    TApdFaxConverter& FConverter;
    TApdFaxClient& FClient;
    TLog FLog;
    uint32_t FLastId = 0;
};

// Why `number` cannot be dialled; empty when it can.
std::string FaxNumberProblem(const std::string& number);
