#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>

#include "core/message_store.h"
#include "fax/ad_fax_cvt.h"
#include "fax/fax_job_file.h"
#include "fax/fax_mail_to_fax.h"
#include "fax/gateway/gateway_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "support/test_files.h"

using namespace FaxGatewayTest;
namespace fs = std::filesystem;

namespace {

class MailToFaxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* d : {"QUEUE", "MAIL/Fax2", "OUTFAX", "TEMP/FAX", "Files"})
            fs::create_directories(DataRoot::Path(d));
        Converter.SetInputDocumentType(TFaxInputDocumentType::idText);
        Converter.SetResolution(TFaxResolution::frHigh);
        Converter.SetTopMargin(50);
        Poll.MailboxDir = DataRoot::Path("MAIL/Fax2/");
        Poll.OutFaxDir = DataRoot::Path("OUTFAX/");
        Poll.ScratchDir = DataRoot::Path("TEMP/FAX/");
        Poll.AsideDir = DataRoot::Path("MAIL/Fax2/BAD/");
    }

    // A mail for FAX2 as a mail client writes it, filed by the router.
    void File(int number, const std::string& subject, const std::string& text,
              const std::vector<std::string>& attachments = {})
    {
        std::vector<std::string> args{
            "compose", Path("MAIL/Fax2/" + std::to_string(number) + ".msg"), subject, text};
        args.insert(args.end(), attachments.begin(), attachments.end());
        Oracle(args);
    }

    std::string Path(const std::string& relative) { return DataRoot::Path(relative); }

    // The queue's files, whole.
    std::vector<std::string> Queued()
    {
        std::vector<std::string> files;
        for (const auto& m : MessageStore::ListMessages(Path("QUEUE"))) {
            std::string text;
            ReadWholeFile(Path("QUEUE/" + m.Name), text);
            files.push_back(text);
        }
        return files;
    }

    TempRoot Dir;
    TApdFaxConverter Converter;
    TApdFaxClient Client;
    std::vector<std::string> Log;
    TFaxMailToFax Poll{Converter, Client, [this](const std::string& t) { Log.push_back(t); }};
};

} // namespace

TEST(FaxNumber, OnlyDialCharactersWithADigitCanBeDialled)
{
    for (const char* good : {"555", "+49 (30) 1234-567", "9W,555P1T2", " 1 "})
        EXPECT_EQ(FaxNumberProblem(good), "") << good;
    for (const char* bad : {"", "   ", "---", "555;ATH0", "555\r", "w555", "Re: 555", "555#",
                            "123456789012345678901234567890123456789012345678901"})
        EXPECT_NE(FaxNumberProblem(bad), "") << bad;
    // The modem dials at most 40 characters: a longer number would reach
    // someone else, cut short.
    EXPECT_EQ(FaxNumberProblem(std::string(40, '5')), "");
    EXPECT_NE(FaxNumberProblem(std::string(41, '5')), "");
}

// Text first, then one page per bitmap in part order, each picture
// stretched over a whole page; nothing is written under an attachment's
// own name.
TEST_F(MailToFaxTest, TextAndBitmapsBecomeOneJobInPartOrder)
{
    SaveBmp(BlockPicture(40, 20, 0, 0, 0.5, 1), Path("left.bmp"));
    SaveBmp(BlockPicture(30, 90, 0, 0, 1, 0.5), Path("top.bmp"));
    File(1, " 555 123 ", "Hello from the HF network.\nSecond line.",
         {Path("left.bmp"), "left.bmp", Path("top.bmp"), "../../Files/evil.bmp"});
    std::string id;
    ASSERT_EQ(Poll.PollOnce(&id), TFaxMailToFax::TResult::JobWritten);
    EXPECT_EQ(Log, std::vector<std::string>{"Fax status: Saving Fax to Out Queue"});
    EXPECT_FALSE(fs::exists(Path("MAIL/Fax2/1.msg")));
    EXPECT_TRUE(fs::is_empty(Path("TEMP/FAX")));
    EXPECT_TRUE(fs::is_empty(Path("Files")));
    EXPECT_FALSE(fs::exists(Path("evil.bmp")));

    const TFaxJob job = TFaxJob::Load(Path("OUTFAX/" + id + ".apj"));
    ASSERT_EQ(job.Recipients.size(), 1u);
    EXPECT_EQ(job.Recipients[0].PhoneNumber, "555 123");
    EXPECT_EQ(job.Recipients[0].HeaderLine, "Sent By HF Fax Gateway");
    EXPECT_EQ(job.Header.JobName, "HF FAX");
    EXPECT_EQ(job.Header.Sender, "HF Gateway");
    EXPECT_FALSE(job.Cover.has_value());
    TApdFaxUnpacker unpacker;
    unpacker.SetInFileName(Path("OUTFAX/" + id + ".apf"));
    ASSERT_EQ(unpacker.GetNumPages(), 3);
    // The two lines of text near the top, and nothing else.
    const QImage text = unpacker.UnpackPageToBitmap(1);
    EXPECT_GT(BlackShare(text.copy(0, 0, text.width(), 300)), 0.005);
    EXPECT_EQ(BlackShare(text.copy(0, 300, text.width(), text.height() - 300)), 0.0);
    const QImage left = unpacker.UnpackPageToBitmap(2);
    EXPECT_EQ(left.height(), TFaxMailToFax::kPageHeight);
    EXPECT_TRUE(BlackAt(left, 0.1, 0.5));
    EXPECT_TRUE(BlackAt(left, 0.45, 0.9));
    EXPECT_FALSE(BlackAt(left, 0.55, 0.1));
    const QImage top = unpacker.UnpackPageToBitmap(3);
    EXPECT_TRUE(BlackAt(top, 0.5, 0.05));
    EXPECT_TRUE(BlackAt(top, 0.9, 0.45));
    EXPECT_FALSE(BlackAt(top, 0.5, 0.55));
}

TEST_F(MailToFaxTest, ASubjectThatIsNoFaxNumberGoesBackToTheSender)
{
    File(1, "555 123;ATH0", "Hang up.");
    ASSERT_EQ(Poll.PollOnce(), TFaxMailToFax::TResult::Returned);
    EXPECT_FALSE(fs::exists(Path("MAIL/Fax2/1.msg")));
    EXPECT_TRUE(fs::is_empty(Path("OUTFAX")));
    const auto queued = Queued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].rfind("RCPT: alice@HOME\r\n", 0), 0u) << queued[0];
    EXPECT_NE(queued[0].find("the fax number holds \";\""), std::string::npos) << queued[0];
    EXPECT_NE(queued[0].find("Subject: 555 123;ATH0"), std::string::npos);
    EXPECT_EQ(Poll.PollOnce(), TFaxMailToFax::TResult::Empty);
}

// A picture that is no Windows bitmap stops its own message, which is moved
// aside with a word to the administrator; the next message still goes.
TEST_F(MailToFaxTest, AMessageThatCannotBeFaxedIsSetAsideAndTheNextOneGoes)
{
    ASSERT_TRUE(BlockPicture(8, 8, 0, 0, 1, 1).save(QString::fromStdString(Path("p.png")), "PNG"));
    File(1, "555", "A photo.", {Path("p.png"), "photo.bmp"});
    File(2, "556", "Just text.");
    ASSERT_EQ(Poll.PollOnce(), TFaxMailToFax::TResult::SetAside);
    EXPECT_FALSE(fs::exists(Path("MAIL/Fax2/1.msg")));
    ASSERT_EQ(MessageStore::ListMessages(Path("MAIL/Fax2/BAD")).size(), 1u);
    EXPECT_TRUE(fs::is_empty(Path("OUTFAX")));
    EXPECT_TRUE(fs::is_empty(Path("TEMP/FAX")));
    const auto queued = Queued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].rfind("RCPT: admin\r\n", 0), 0u);
    EXPECT_NE(queued[0].find("\"photo.bmp\" is not a Windows bitmap"), std::string::npos);
    EXPECT_NE(queued[0].find("MAIL/Fax2/BAD/1.msg"), std::string::npos);

    std::string id;
    ASSERT_EQ(Poll.PollOnce(&id), TFaxMailToFax::TResult::JobWritten);
    EXPECT_EQ(TFaxJob::Load(Path("OUTFAX/" + id + ".apj")).Recipients[0].PhoneNumber, "556");
    EXPECT_EQ(Poll.PollOnce(), TFaxMailToFax::TResult::Empty);
}

// A bitmap cut short in transit is no page of made-up rows: its message goes
// aside as one with any other bad attachment.
TEST_F(MailToFaxTest, ABitmapCutShortIsABadAttachment)
{
    SaveBmp(BlockPicture(40, 30, 0, 0, 1, 0.5), Path("whole.bmp"));
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(Path("whole.bmp"), bytes));
    WriteFileAtomic(Path("cut.bmp"), bytes.substr(0, bytes.size() * 2 / 3));
    File(1, "555", "A photo.", {Path("cut.bmp"), "photo.bmp"});
    ASSERT_EQ(Poll.PollOnce(), TFaxMailToFax::TResult::SetAside);
    EXPECT_TRUE(fs::is_empty(Path("OUTFAX")));
    const auto queued = Queued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].rfind("RCPT: admin\r\n", 0), 0u);
    EXPECT_NE(queued[0].find("\"photo.bmp\" is cut short"), std::string::npos) << queued[0];
}

// A photo is brought to 4 bits per pixel before its half-tones are made:
// dark grey turns black, mid grey takes the grey of 128, a pale yellow the
// light grey of 192, and each is then dithered.
TEST_F(MailToFaxTest, APictureTakesTheSixteenColoursBeforeItIsDithered)
{
    QImage bands(3, 1, QImage::Format_RGB32);
    bands.setPixel(0, 0, qRgb(30, 30, 30));
    bands.setPixel(1, 0, qRgb(100, 100, 100));
    bands.setPixel(2, 0, qRgb(250, 250, 150));
    SaveBmp(bands, Path("bands.bmp"));
    File(1, "555", "", {Path("bands.bmp"), "bands.bmp"});
    std::string id;
    ASSERT_EQ(Poll.PollOnce(&id), TFaxMailToFax::TResult::JobWritten);
    TApdFaxUnpacker unpacker;
    unpacker.SetInFileName(Path("OUTFAX/" + id + ".apf"));
    const QImage page = unpacker.UnpackPageToBitmap(unpacker.GetNumPages());
    ASSERT_EQ(page.height(), TFaxMailToFax::kPageHeight);
    // The share of black in a 16 x 16 dither of R + G + B = 0, 384, 576.
    const double want[] = {1.0, 127.0 / 256, 63.0 / 256};
    const int band = TFaxMailToFax::kPageWidth / 3;
    for (int i = 0; i < 3; ++i) {
        const int middle = page.width() * (2 * i + 1) / 6;
        EXPECT_NEAR(BlackShare(page.copy(middle - band / 4, 500, band / 2, 1024)), want[i], 0.01)
            << i;
    }
}
