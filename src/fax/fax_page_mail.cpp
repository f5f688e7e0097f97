#include "fax/fax_page_mail.h"

#include <QImage>
#include <filesystem>

#include "core/message_store.h"
#include "fax/ad_fax_cvt.h"
#include "netlib/mime/ip_message.h"
#include "netproto/core/id_global.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/data_root.h"
#include "serial/ad_except.h"

namespace FaxPageMail {

namespace {

struct TPage {
    std::string Path;
    std::string Name;
};

std::string Build(const THead& head, const std::vector<std::string>& note,
                  const std::vector<TPage>& pages, const char* subtype, const std::string& scratch)
{
    TIpMailMessage message;
    message.From = head.From;
    message.Date = FormatInternetDate(Now(), false);
    message.Subject = head.Subject;
    message.MailTo = {head.To};
    std::vector<std::string> text = head.Text;
    text.insert(text.end(), note.begin(), note.end());
    if (!text.empty()) {
        TIpMimeEntity* body = message.GetBodyPlain(true);
        body->ContentTransferEncoding = em7Bit;
        body->EncodeBodyStrings(text, "");
    }
    for (const TPage& page : pages) {
        TIpMimeEntity* part = message.AddDefaultAttachmentAs(page.Path, page.Name);
        part->ContentType = "image";
        part->ContentSubtype = subtype;
        part->Name = page.Name;
        part->FileName = page.Name;
    }
    const std::string file = scratch + "mail.tmp";
    message.SaveToFile(file);
    std::string content;
    if (!ReadWholeFile(file, content))
        throw std::system_error(errno, std::generic_category(), "cannot read " + file);
    std::filesystem::remove(file);
    return content;
}

bool Fits(const std::string& content, int64_t limitBytes)
{
    return limitBytes <= 0 || static_cast<int64_t>(content.size()) <= limitBytes;
}

} // namespace

std::string Compose(TApdFaxUnpacker& unpacker, const std::string& fax, const std::string& scratch,
                    const THead& head, int64_t limitBytes, const std::string& keptAt,
                    TPageForm& form)
{
    unpacker.SetInFileName(fax);
    const int count = unpacker.GetNumPages();
    std::vector<TPage> pages;
    for (int n = 1; n <= count; ++n) {
        const std::string name = "Page" + std::to_string(n);
        TPage page{scratch + name + ".bmp", name + ".BMP"};
        CheckException(nullptr, WriteMonoBmp(unpacker.UnpackPageToBitmap(static_cast<unsigned>(n)),
                                             page.Path));
        pages.push_back(page);
    }
    std::string content = Build(head, {}, pages, "bmp", scratch);
    form = TPageForm::Bmp;
    if (Fits(content, limitBytes))
        return content;

    // Bitmaps of fax pages are mostly white: PNG packs them tightly.
    for (TPage& page : pages) {
        QImage picture(QString::fromStdString(page.Path), "BMP");
        std::filesystem::remove(page.Path);
        page.Path.replace(page.Path.size() - 4, 4, ".png");
        page.Name.replace(page.Name.size() - 4, 4, ".PNG");
        if (picture.isNull() || !picture.save(QString::fromStdString(page.Path), "PNG"))
            throw std::runtime_error("cannot write " + page.Path);
    }
    content = Build(head, {}, pages, "png", scratch);
    form = TPageForm::Png;
    if (Fits(content, limitBytes))
        return content;

    form = TPageForm::None;
    return Build(head,
                 {"", "The " + std::to_string(count) +
                          " page(s) are too large for mail on this station; the fax is kept as " +
                          keptAt + "."},
                 {}, "", scratch);
}

std::string ComposeText(const THead& head, const std::string& scratch)
{
    return Build(head, {}, {}, "", scratch);
}

int64_t StationLimit(int maxMailKBytes)
{
    return maxMailKBytes > 0 ? int64_t(maxMailKBytes) * 1024 : 0;
}

std::string Queue(const std::vector<std::string>& recipients, const std::string& message)
{
    return QueueFile(MessageStore::AddEnvelope(recipients, message));
}

std::string QueueFile(const std::string& content)
{
    const std::string dir = MessageStore::DirPath(DirName::Queue);
    if (!MessageStore::EnsureDirectory(dir))
        throw std::runtime_error("Error Creating Queue Directory " + dir);
    return MessageStore::WriteMessageAs(dir, Clock::TickCount(), content);
}

} // namespace FaxPageMail
