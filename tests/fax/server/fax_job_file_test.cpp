#include "fax/apf_file.h"
#include "fax/fax_job_file.h"
#include "fax/fax_test_helpers.h"
#include "fax/server/server_helpers.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <filesystem>

using namespace FaxServerTest;
using FaxTest::ReadFile;
using FaxTest::TScratch;
using FaxTest::WriteFile;

namespace {

std::string Sha256(const std::string& bytes)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::string Str(const QJsonValue& v)
{
    return v.toString().toStdString();
}

TFaxRecipientRec Recipient(const std::string& phone, TDateTime when)
{
    TFaxRecipientRec r;
    r.PhoneNumber = phone;
    r.HeaderLine = "Page $P of $N";
    r.HeaderRecipient = "Ops";
    r.HeaderTitle = "Report";
    r.SchedDT = when;
    r.Status = 2; // ignored: a new recipient is unhandled
    r.AttemptNum = 7;
    return r;
}

} // namespace

// Jobs written here, read by the Python codec.
TEST(FaxJobFile, WrittenJobsReadByTheOracle)
{
    TScratch dir;
    MakeSmallApf(dir.Path("a.apf"), 3);
    TApdFaxClient client;
    client.FaxFileName = dir.Path("a.apf");
    client.JobFileName = dir.Path("1.apj");
    client.JobName = "A job name far longer than twenty";
    client.Sender = "HF Gateway";
    client.SetPhoneNumber(std::string(60, '5'));
    client.SetHeaderLine("Sent By HF Fax Gateway");
    client.SetScheduleDateTime(At(2024, 3, 5, 14, 7, 9));
    client.MakeFaxJob();

    QJsonObject j = OracleDump(dir.Path("1.apj"));
    EXPECT_EQ(Str(j["signature"]), "APJ0");
    EXPECT_EQ(j["status"].toInt(), 0);
    EXPECT_EQ(Str(j["jobname"]), "A job name far longe");
    EXPECT_EQ(Str(j["sender"]), "HF Gateway");
    EXPECT_EQ(Str(j["sched"]), "2024-03-05T14:07:09.000");
    EXPECT_EQ(j["count"].toInt(), 1);
    EXPECT_EQ(j["cover_offset"].toInt(), 0);
    EXPECT_EQ(j["fax_offset"].toInt(), 384);
    EXPECT_TRUE(j["cover"].isNull());
    EXPECT_EQ(Str(j["fax_sha256"]), Sha256(ReadFile(dir.Path("a.apf"))));
    QJsonObject r = j["recipients"].toArray()[0].toObject();
    EXPECT_EQ(Str(r["phone"]), std::string(50, '5'));
    EXPECT_EQ(Str(r["line"]), "Sent By HF Fax Gateway");
    EXPECT_EQ(Str(r["sched"]), "2024-03-05T14:07:09.000");
    EXPECT_EQ(r["jobid"].toInt(), 0);

    // With a cover, and a second recipient due earlier.
    WriteFile(dir.Path("cover.txt"), "Dear $R\r\nsee attached\r\n");
    TApdFaxJobHandler handler;
    handler.MakeJob(dir.Path("a.apf"), dir.Path("cover.txt"), "HF FAX", "Me", dir.Path("2.apj"),
                    Recipient("555", At(2024, 3, 5, 14, 7, 9)));
    handler.AddRecipient(dir.Path("2.apj"), Recipient("777", At(1999, 12, 31, 23, 59, 58)));
    j = OracleDump(dir.Path("2.apj"));
    EXPECT_EQ(j["count"].toInt(), 2);
    EXPECT_EQ(j["next"].toInt(), 1);
    EXPECT_EQ(Str(j["sched"]), "1999-12-31T23:59:58.000");
    EXPECT_EQ(j["cover_offset"].toInt(), 128 + 2 * 256);
    EXPECT_EQ(j["fax_offset"].toInt(), 128 + 2 * 256 + 23);
    EXPECT_EQ(Str(j["cover"]), "Dear $R\r\nsee attached\r\n");
    EXPECT_EQ(Str(j["fax_sha256"]), Sha256(ReadFile(dir.Path("a.apf"))));
    r = j["recipients"].toArray()[1].toObject();
    EXPECT_EQ(r["jobid"].toInt(), 1);
    EXPECT_EQ(r["status"].toInt(), 0);
    EXPECT_EQ(r["attempts"].toInt(), 0);
    EXPECT_EQ(Str(r["phone"]), "777");
    EXPECT_EQ(Str(r["title"]), "Report");

    // Cancelled: the code is kept as 16 bits and reads back signed.
    handler.CancelRecipient(dir.Path("2.apj"), 0);
    j = OracleDump(dir.Path("2.apj"));
    EXPECT_EQ(j["status"].toInt(), 1);
    EXPECT_EQ(j["recipients"].toArray()[0].toObject()["result"].toInt(), -6005);
}

// Jobs written by the Python codec, read here.
TEST(FaxJobFile, OracleJobsReadHere)
{
    TScratch dir;
    MakeSmallApf(dir.Path("a.apf"), 1);
    const auto recipient = [](const char* phone, const char* when, int status, int result) {
        return QJsonObject{{"status", status},       {"sched", when},
                           {"attempts", 2},          {"result", result},
                           {"phone", phone},         {"line", QString(100, 'L')},
                           {"recipient", "Someone"}, {"title", QString(30, 'T')}};
    };
    OracleWrite(dir.Path("j.apj"),
                QJsonObject{{"status", 1},
                            {"jobname", QString(20, 'J')},
                            {"sender", QString(40, 'S')},
                            {"sched", "2030-01-02T03:04:05.000"},
                            {"next", 1},
                            {"cover", "cover text"},
                            {"fax_file", QString::fromStdString(dir.Path("a.apf"))},
                            {"recipients",
                             QJsonArray{recipient("111", "2031-01-01T00:00:00.000", 2, 0),
                                        recipient("222", "2030-01-02T03:04:05.000", 0, 2007)}}});
    TApdFaxJobHandler h;
    TFaxJobHeaderRec header;
    h.GetJobHeader(dir.Path("j.apj"), header);
    EXPECT_EQ(header.Status, 1);
    EXPECT_EQ(header.JobName, std::string(20, 'J'));
    EXPECT_EQ(header.Sender, std::string(40, 'S'));
    EXPECT_EQ(Iso(header.SchedDT), "2030-01-02T03:04:05.000");
    EXPECT_EQ(header.NumRecipients, 2);
    EXPECT_EQ(header.NextRecipient, 1);
    TFaxRecipientRec r;
    ASSERT_EQ(h.GetRecipient(dir.Path("j.apj"), 1, r), 0);
    EXPECT_EQ(r.JobID, 1);
    EXPECT_EQ(r.PhoneNumber, "222");
    EXPECT_EQ(r.HeaderLine, std::string(100, 'L'));
    EXPECT_EQ(r.HeaderTitle, std::string(30, 'T'));
    EXPECT_EQ(r.AttemptNum, 2);
    EXPECT_EQ(r.LastResultCode(), 2007);
    EXPECT_EQ(h.GetRecipient(dir.Path("j.apj"), 2, r), -100);
    EXPECT_EQ(h.GetRecipientStatus(dir.Path("j.apj"), 0), 2);
    EXPECT_EQ(h.GetRecipientStatus(dir.Path("j.apj"), 2), -1);

    ASSERT_TRUE(h.ExtractCoverFile(dir.Path("j.apj"), dir.Path("c.txt")));
    EXPECT_EQ(ReadFile(dir.Path("c.txt")), "cover text");
    h.ExtractAPF(dir.Path("j.apj"), dir.Path("out.apf"));
    EXPECT_EQ(ReadFile(dir.Path("out.apf")), ReadFile(dir.Path("a.apf")));

    // Status arithmetic: one handled and one not is "some handled".
    h.ResetRecipientStatus(dir.Path("j.apj"), 1, 2);
    h.GetJobHeader(dir.Path("j.apj"), header);
    EXPECT_EQ(header.Status, 2);
    h.ResetAPJStatus(dir.Path("j.apj"));
    EXPECT_EQ(OracleDump(dir.Path("j.apj"))["status"].toInt(), 0);
    EXPECT_EQ(h.GetRecipientStatus(dir.Path("j.apj"), 0), 0);
}

// Damaged job files are refused and left as they are.
TEST(FaxJobFile, DamagedFilesAreRefusedUntouched)
{
    TScratch dir;
    MakeSmallApf(dir.Path("a.apf"), 1);
    TApdFaxJobHandler h;
    h.MakeJob(dir.Path("a.apf"), "", "job", "me", dir.Path("good.apj"), Recipient("1", 1.0));
    const std::string good = ReadFile(dir.Path("good.apj"));
    const auto damaged = [&](std::size_t at, std::string bytes) {
        std::string d = good;
        d.replace(at, bytes.size(), bytes);
        return d;
    };
    const std::vector<std::pair<const char*, std::string>> cases{
        {"signature", damaged(0, "APJ1")},
        {"no recipients", damaged(75, std::string(1, '\0'))},
        {"next beyond count", damaged(76, std::string(1, '\1'))},
        {"name too long", damaged(5, std::string(1, '\25'))},
        {"name leaves the folder", damaged(5, std::string("\x05../xx", 6))},
        {"phone too long", damaged(128 + 13, std::string(1, '\63'))},
        {"record index", damaged(128 + 1, std::string(1, '\1'))},
        {"fax offset past the end", damaged(81, std::string("\xFF\xFF\0\0", 4))},
        {"fax offset inside the records", damaged(81, std::string("\x80\0\0\0", 4))},
        {"cover after the fax", damaged(77, std::string("\xFF\x01\0\0", 4))},
        {"no APF at the fax offset", damaged(384, "XPF10")},
        {"cut short", good.substr(0, 300)},
    };
    for (const auto& [what, bytes] : cases) {
        WriteFile(dir.Path("bad.apj"), bytes);
        TFaxRecipientRec r;
        EXPECT_THROW(h.GetRecipient(dir.Path("bad.apj"), 0, r), EFaxBadJobFile) << what;
        EXPECT_THROW(h.ResetAPJPartials(dir.Path("bad.apj"), true), EFaxBadJobFile) << what;
        EXPECT_EQ(ReadFile(dir.Path("bad.apj")), bytes) << what;
    }
    TFaxRecipientRec r;
    EXPECT_THROW(h.GetRecipient(dir.Path("missing.apj"), 0, r), EInOutError);
    // A fax file that is not APF makes no job.
    WriteFile(dir.Path("text.apf"), std::string(100, 'x'));
    EXPECT_THROW(h.MakeJob(dir.Path("text.apf"), "", "j", "s", dir.Path("x.apj"), r),
                 EFaxBadFormat);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("x.apj")));
}

TEST(FaxJobFile, RescheduleKeepsTheJobDueAtItsFirstWaitingRecipient)
{
    TScratch dir;
    MakeSmallApf(dir.Path("a.apf"), 1);
    TApdFaxJobHandler h;
    const std::string job = dir.Path("j.apj");
    h.MakeJob(dir.Path("a.apf"), "", "j", "s", job, Recipient("1", At(2024, 1, 1, 10, 0, 0)));
    h.AddRecipient(job, Recipient("2", At(2024, 1, 1, 11, 0, 0)));
    // The first recipient is put back an hour after the second: the job is
    // due with the second, not at the first one's old time.
    h.RescheduleJob(job, 0, At(2024, 1, 1, 12, 0, 0), false);
    TFaxJobHeaderRec header;
    h.GetJobHeader(job, header);
    EXPECT_EQ(Iso(header.SchedDT), "2024-01-01T11:00:00.000");
    EXPECT_EQ(header.NextRecipient, 1);
    // Earlier than all: it leads again.
    h.RescheduleJob(job, 0, At(2024, 1, 1, 9, 0, 0), false);
    h.GetJobHeader(job, header);
    EXPECT_EQ(Iso(header.SchedDT), "2024-01-01T09:00:00.000");
    EXPECT_EQ(header.NextRecipient, 0);

    try {
        h.RescheduleJob(job, 2, 1.0, false);
        FAIL() << "no error for a recipient past the last";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Job number out of bounds");
    }
    h.RescheduleJob(dir.Path("gone.apj"), 0, 1.0, false); // nothing, no error
    EXPECT_FALSE(std::filesystem::exists(dir.Path("gone.apj")));
}

TEST(FaxJobFile, ConcatAndCopy)
{
    TScratch dir;
    MakeSmallApf(dir.Path("a.apf"), 1, 2);
    MakeSmallApf(dir.Path("b.apf"), 2, 3);
    TApdFaxJobHandler h;
    h.ConcatFaxes(dir.Path("ab.apf"), {dir.Path("a.apf"), dir.Path("b.apf")});
    TFaxHeaderRec header;
    ASSERT_EQ(ApfReadHeader(dir.Path("ab.apf"), header), 0);
    EXPECT_EQ(header.PageCount, 5);
    TPageHeaderRec page;
    EXPECT_EQ(ApfReadPageHeader(dir.Path("ab.apf"), 5, page), 0);
    EXPECT_EQ(ReadFile(dir.Path("ab.apf")).size(),
              ReadFile(dir.Path("a.apf")).size() + ReadFile(dir.Path("b.apf")).size() - 64);

    WriteFile(dir.Path("bad.apf"), std::string(64, 'x'));
    EXPECT_THROW(h.ConcatFaxes(dir.Path("c.apf"), {dir.Path("a.apf"), dir.Path("bad.apf")}),
                 EFaxBadFormat);
    EXPECT_THROW(h.ConcatFaxes(dir.Path("c.apf"), {}), EFaxBadFormat);
    EXPECT_THROW(h.ConcatFaxes(dir.Path("c.apf"), {dir.Path("none.apf")}), EInOutError);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("c.apf")));

    TApdFaxClient client;
    WriteFile(dir.Path("src.apj"), "source");
    WriteFile(dir.Path("dst.apj"), "destination");
    EXPECT_EQ(client.CopyJobToServer(dir.Path("src.apj"), dir.Path("dst.apj"), false), kJobExists);
    EXPECT_EQ(ReadFile(dir.Path("src.apj")), "source");
    EXPECT_EQ(ReadFile(dir.Path("dst.apj")), "destination");
    EXPECT_EQ(client.CopyJobToServer(dir.Path("src.apj"), dir.Path("dst.apj"), true), 0);
    EXPECT_EQ(ReadFile(dir.Path("dst.apj")), "source");
}
