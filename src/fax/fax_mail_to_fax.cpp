#include "fax/fax_mail_to_fax.h"

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <filesystem>
#include <limits>

#include "core/failure_notice.h"
#include "core/message_store.h"
#include "fax/ad_fax_cvt.h"
#include "fax/aw_abs_fax.h"
#include "fax/fax_bitmap_input.h"
#include "fax/fax_job_file.h"
#include "fax/fax_page_mail.h"
#include "netlib/mime/ip_message.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/data_root.h"

namespace fs = std::filesystem;

namespace {

// What the job and the recipient record say of every fax made here.
constexpr const char* kHeaderLine = "Sent By HF Fax Gateway";
constexpr const char* kJobName = "HF FAX";
constexpr const char* kSender = "HF Gateway";
constexpr int kTextTopMargin = 50;

// The standard 16-colour palette of a 4-bit bitmap.
const QList<QRgb> kSixteenColours{
    qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
    qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
    qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};

// Each pixel of an RGB32 picture to the colour of the palette nearest to
// it (least sum of squared differences).
void ToSixteenColours(QImage& picture)
{
    QRgb last = qRgb(255, 255, 255), nearest = last;
    for (int y = 0; y < picture.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb pixel = row[x] | 0xFF000000u;
            if (pixel != last) {
                int best = std::numeric_limits<int>::max();
                for (const QRgb c : kSixteenColours) {
                    const int r = qRed(pixel) - qRed(c), g = qGreen(pixel) - qGreen(c),
                              b = qBlue(pixel) - qBlue(c);
                    if (r * r + g * g + b * b < best) {
                        best = r * r + g * g + b * b;
                        nearest = c;
                    }
                }
                last = pixel;
            }
            row[x] = nearest;
        }
    }
}

std::string NoSlash(const std::string& dir)
{
    return !dir.empty() && dir.back() == '/' ? dir.substr(0, dir.size() - 1) : dir;
}

bool IsDialCharacter(char c)
{
    return (c >= '0' && c <= '9') || std::string_view(" +-,()WPT").find(c) != std::string::npos;
}

} // namespace

std::string FaxNumberProblem(const std::string& number)
{
    if (number.empty())
        return "the subject holds no fax number";
    // The modem dials no more than this; the job could hold more.
    if (number.size() > kFaxMaxNumber)
        return "the fax number is longer than " + std::to_string(kFaxMaxNumber) + " characters";
    for (char c : number) {
        if (!IsDialCharacter(c))
            return std::string("the fax number holds \"") + c +
                   "\"; only digits, blanks and + - , ( ) W P T can be dialled";
    }
    if (std::none_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "the fax number holds no digit";
    return {};
}

TFaxMailToFax::TFaxMailToFax(TApdFaxConverter& converter, TApdFaxClient& client, TLog log)
    : FConverter(converter), FClient(client), FLog(std::move(log))
{
}

TFaxMailToFax::TResult TFaxMailToFax::PollOnce(std::string* jobId)
{
    const auto messages = MessageStore::ListMessages(NoSlash(MailboxDir));
    if (messages.empty())
        return TResult::Empty;
    const std::string path = MailboxDir + messages.front().Name;
    std::string content;
    if (!ReadWholeFile(path, content)) {
        FLog("Fax status: Cannot read " + path);
        return TResult::Failed;
    }
    TIpMailMessage message;
    try {
        message.LoadFromFile(path);
    } catch (const std::exception& e) {
        return SetAside(path, content, std::string("it cannot be decoded: ") + e.what());
    }
    const std::string number = IpMime::Trim(message.Subject);
    if (const std::string problem = FaxNumberProblem(number); !problem.empty())
        return Return(path, content, problem);

    const std::string id = NewJobId();
    const std::string work = ScratchDir + id + "/";
    std::error_code ec;
    fs::remove_all(work, ec);
    if (!MessageStore::EnsureDirectory(NoSlash(work))) {
        FLog("Fax status: Error Creating Directory " + work);
        return TResult::Failed;
    }
    std::vector<TPart> parts;
    if (message.MimeParts().GetCount() == 0)
        parts.push_back({&message, false});
    else
        CollectParts(message, parts, 0);
    std::vector<std::string> pages;
    try {
        pages = MakePages(parts, work);
    } catch (const std::exception& e) {
        fs::remove_all(work, ec);
        return SetAside(path, content, e.what());
    }
    if (pages.empty()) {
        fs::remove_all(work, ec);
        return SetAside(path, content, "it holds nothing to fax");
    }

    const std::string fax = OutFaxDir + id + ".apf";
    const std::string job = OutFaxDir + id + ".apj";
    try {
        FClient.ConcatFaxes(fax, pages);
        FClient.SetPhoneNumber(number);
        FClient.SetHeaderLine(kHeaderLine);
        FClient.SetHeaderTitle("");
        FClient.JobName = kJobName;
        FClient.Sender = kSender;
        FClient.FaxFileName = fax;
        FClient.JobFileName = job;
        FClient.MakeFaxJob();
    } catch (const std::exception& e) {
        fs::remove(job, ec);
        fs::remove(fax, ec);
        fs::remove_all(work, ec);
        FLog(std::string("Fax status: Error Saving Fax: ") + e.what());
        return TResult::Failed;
    }
    FLog("Fax status: Saving Fax to Out Queue");
    if (!fs::remove(path, ec))
        FLog("Fax status: Cannot delete " + path);
    fs::remove_all(work, ec);
    if (jobId)
        *jobId = id;
    return TResult::JobWritten;
}

void TFaxMailToFax::CollectParts(TIpMimeEntity& entity, std::vector<TPart>& parts, int depth)
{
    for (int i = 0; i < entity.MimeParts().GetCount(); ++i) {
        TIpMimeEntity* part = entity.MimeParts().GetPart(i);
        if (!part->IsMultipart) {
            parts.push_back({part, !part->FileName.empty()});
            continue;
        }
        if (depth >= IpMaxMimeNesting)
            continue;
        if (IpMime::SameText(part->ContentSubtype, "alternative")) {
            // One of the same text's forms: the plain one.
            TIpMimeEntity* chosen = part->MimeParts().GetPart(0);
            for (int k = 0; k < part->MimeParts().GetCount(); ++k) {
                TIpMimeEntity* form = part->MimeParts().GetPart(k);
                if (IpMime::SameText(form->ContentType, "text") &&
                    IpMime::SameText(form->ContentSubtype, "plain")) {
                    chosen = form;
                    break;
                }
            }
            if (!chosen)
                continue;
            if (chosen->IsMultipart)
                CollectParts(*chosen, parts, depth + 1);
            else
                parts.push_back({chosen, !chosen->FileName.empty()});
            continue;
        }
        CollectParts(*part, parts, depth + 1);
    }
}

std::string TFaxMailToFax::NewJobId()
{
    uint32_t id = std::max(Clock::TickCount(), FLastId + 1);
    std::error_code ec;
    while (fs::exists(OutFaxDir + std::to_string(id) + ".apj", ec) ||
           fs::exists(OutFaxDir + std::to_string(id) + ".apf", ec))
        ++id;
    FLastId = id;
    return std::to_string(id);
}

std::vector<std::string> TFaxMailToFax::MakePages(const std::vector<TPart>& parts,
                                                  const std::string& work)
{
    std::vector<std::string> pages;
    for (size_t i = 0; i < parts.size(); ++i) {
        const TPart& part = parts[i];
        const std::string base = work + "part" + std::to_string(i + 1);
        const std::string out = base + ".apf";
        if (part.Attachment) {
            const std::string file = base + ".bmp";
            part.Entity->ExtractBodyFile(file);
            ConvertPicture(file, part.Entity->FileName, out);
            fs::remove(file);
            pages.push_back(out);
            continue;
        }
        // A text part that fails is left out; the rest still makes a fax.
        try {
            const std::string text = base + ".txt";
            part.Entity->ExtractBodyFile(text);
            if (!fs::exists(text))
                continue;
            ConvertText(text, out);
            fs::remove(text);
            pages.push_back(out);
        } catch (const std::exception& e) {
            FLog(std::string("Fax status: Text part left out: ") + e.what());
        }
    }
    return pages;
}

void TFaxMailToFax::ConvertText(const std::string& text, const std::string& out)
{
    FConverter.SetInputDocumentType(TFaxInputDocumentType::idText);
    FConverter.SetResolution(TFaxResolution::frHigh);
    FConverter.SetTopMargin(kTextTopMargin);
    FConverter.SetDocumentFile(text);
    FConverter.SetOutFileName(out);
    try {
        FConverter.ConvertToFile();
    } catch (...) {
        FConverter.SetDocumentFile("");
        FConverter.SetOutFileName("");
        throw;
    }
    FConverter.SetDocumentFile("");
    FConverter.SetOutFileName("");
}

void TFaxMailToFax::ConvertPicture(const std::string& file, const std::string& name,
                                   const std::string& out)
{
    QImage picture;
    std::string why;
    if (bcReadBmpFile(file, picture, &why) != 0)
        throw std::runtime_error("the attachment \"" + name + "\" " + why);
    // Any picture fills one page, stretched or squeezed to it.
    QImage page(kPageWidth, kPageHeight, QImage::Format_RGB32);
    page.fill(Qt::white);
    {
        QPainter painter(&page);
        painter.drawImage(QRect(0, 0, kPageWidth, kPageHeight), picture);
    }
    // Four bits per pixel before the dither: each pixel takes the nearest of
    // the standard 16 colours, which sets the half-tones a photo gets.
    ToSixteenColours(page);
    FConverter.SetResolution(TFaxResolution::frHigh);
    FConverter.SetOutFileName(out);
    FConverter.SetTopMargin(0);
    try {
        FConverter.ConvertBitmapToFile(page);
    } catch (...) {
        FConverter.SetTopMargin(kTextTopMargin);
        FConverter.SetOutFileName("");
        throw;
    }
    FConverter.SetTopMargin(kTextTopMargin);
    FConverter.SetOutFileName("");
}

TFaxMailToFax::TResult TFaxMailToFax::Return(const std::string& path, const std::string& content,
                                             const std::string& why)
{
    std::string sender = FailureNotice::MessageSender(content);
    if (FailureNotice::FromMailSystem(content) || sender == "unknown")
        sender = "admin";
    try {
        FaxPageMail::QueueFile(FailureNotice::Build(
            sender, "failure notice", {"FAX2"},
            "The subject must be the fax number to dial: " + why + ".", content));
    } catch (const std::exception& e) {
        FLog(std::string("Fax status: Error Returning Mail: ") + e.what());
        return TResult::Failed;
    }
    std::error_code ec;
    fs::remove(path, ec);
    FLog("Fax status: Returned mail to " + sender + ": " + why);
    return TResult::Returned;
}

TFaxMailToFax::TResult TFaxMailToFax::SetAside(const std::string& path, const std::string& content,
                                               const std::string& why)
{
    std::string moved;
    try {
        if (!MessageStore::EnsureDirectory(NoSlash(AsideDir)))
            throw std::runtime_error("cannot create " + AsideDir);
        moved = MessageStore::AdoptNewMessage(NoSlash(AsideDir), path);
    } catch (const std::exception& e) {
        FLog(std::string("Fax status: Error Moving Message Aside: ") + e.what());
        return TResult::Failed;
    }
    FLog("Fax status: Message not faxed: " + why);
    try {
        FaxPageMail::QueueFile(
            FailureNotice::Build("admin", "Fax Error: Message not faxed", {"FAX2"},
                                 "The fax gateway cannot make a fax of this message: " + why +
                                     ". It was moved to " + moved + ".",
                                 content));
    } catch (const std::exception& e) {
        FLog(std::string("Fax status: Error Writing Notice: ") + e.what());
    }
    return TResult::SetAside;
}
