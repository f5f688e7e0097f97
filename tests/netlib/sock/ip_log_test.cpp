// The debug log's ring and dump and the event log's lines.
#include "netlib/sock/ip_sock_control.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <regex>
#include <sstream>

namespace {

// The dump without its header block (everything up to the blank line after
// the row of "=").
std::string Entries(const std::string& dump)
{
    const size_t rule = dump.find(std::string(77, '=') + "\r\n\r\n");
    return rule == std::string::npos ? dump : dump.substr(rule + 81);
}

// Entry texts without their time stamps.
std::vector<std::string> Texts(const std::string& dump)
{
    std::vector<std::string> out;
    const std::regex stamp(R"(\d{4,}\.\d{3} : )");
    std::string rest = Entries(dump);
    std::sregex_iterator it(rest.begin(), rest.end(), stamp), end;
    std::vector<size_t> starts;
    for (; it != end; ++it)
        starts.push_back(static_cast<size_t>(it->position()));
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t from = starts[i] + 11;
        const size_t to = i + 1 < starts.size() ? starts[i + 1] : rest.size();
        out.push_back(rest.substr(from, to - from));
    }
    return out;
}

TEST(DebugLog, RingKeepsWholeEntriesAndDropsTheOldest)
{
    QTemporaryDir dir;
    TIpDebugLog log(nullptr);
    EXPECT_EQ(log.BufferFree(), 65535u);
    log.SetFileName(dir.path().toStdString() + "/debug.log");
    // 100 bytes: the enable entry (28), then 44, then 38 bytes whose header
    // ends at the end of the ring and whose data starts at 0.
    log.SetBufferSize(100);
    log.SetEnabled(true);
    log.WriteDebugString("0123456789abcdef");
    log.WriteDebugString("ring-wraps");
    log.WriteDebugString(std::string(72, 'x')); // exactly the ring's size: dropped
    log.DumpLog();
    EXPECT_TRUE(log.BufferEmpty());
    EXPECT_EQ(Texts(ReadFile(log.FileName())),
              (std::vector<std::string>{"0123456789abcdef\r\n", "ring-wraps\r\n"}));

    // A ring of size 0 records nothing and writes nothing.
    TIpDebugLog empty(nullptr);
    empty.SetBufferSize(0);
    empty.SetEnabled(true);
    empty.WriteDebugString("lost");
    EXPECT_TRUE(empty.BufferEmpty());
    EXPECT_EQ(empty.BufferFree(), 0u);

    // The same size keeps the entries, another one clears them.
    TIpDebugLog sized(nullptr);
    sized.SetEnabled(true);
    sized.SetBufferSize(65536);
    EXPECT_FALSE(sized.BufferEmpty());
    sized.SetBufferSize(4096);
    EXPECT_TRUE(sized.BufferEmpty());
}

TEST(DebugLog, DumpTextsHeaderAndWriteModes)
{
    QTemporaryDir dir;
    TIpDebugLog log(nullptr);
    log.SetFileName(dir.path().toStdString() + "/debug.log");
    log.SetEnabled(true);
    log.AddDebugEntry(nullptr, 7, dtTelnet, deTelnetReceived, 253 * 256 + 31);
    log.AddDebugEntry(nullptr, 7, dtTelnet, deTelnetSent, 200 * 256 + 99);
    log.AddDebugEntry(nullptr, 1, 77, 2, 3);
    const std::string data = "0123456789ABCDEF\x01\x7f xy";
    log.AddDebugEntry(&TIpSockControl::GetLogString, 5, dtHighRead, 0, 20, data.data());
    log.SetEnabled(false);
    log.DumpLog();
    const std::string dump = ReadFile(log.FileName());
    EXPECT_EQ(dump.rfind("SkipMail internet library v1.16\xDF compiled with ", 0), 0u);
    EXPECT_NE(dump.find("\r\nOperating System : "), std::string::npos);
    EXPECT_NE(dump.find("\r\nNegotiated Version : $"), std::string::npos);
    EXPECT_EQ(Texts(dump),
              (std::vector<std::string>{
                  "**** Logging Enabled\r\n\r\n",
                  "[7] Telnet received. DO negotiate about window size\r\n",
                  "[7] Telnet sent. [200] [99]\r\n",
                  "!!!! Unknown log entry : [1][0000004d][00000002][00000003]\r\n\r\n",
                  "Read - 20 bytes read from socket 5\r\n"
                  "  000000: 30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46 : "
                  "0123456789ABCDEF\r\n"
                  "  000010: 01 7F 20 78 " +
                      std::string(37, ' ') + ": .. x" + std::string(12, ' ') + "\r\n\r\n",
                  "**** Logging Disabled\r\n\r\n"}));
    EXPECT_EQ(TIpDebugLog::TimeStamp(61234), "0061.234 : ");
    EXPECT_EQ(TIpDebugLog::TimeStamp(12345678), "12345.678 : ");

    // Appending to a file that has entries writes no second header;
    // overwriting starts the file again with one.
    log.SetWriteMode(wmAppend);
    log.SetEnabled(true);
    log.DumpLog();
    std::string appended = ReadFile(log.FileName());
    EXPECT_EQ(appended.find("SkipMail internet library", 1), std::string::npos);
    EXPECT_GT(appended.size(), dump.size());
    log.SetWriteMode(wmOverwrite);
    log.WriteDebugString("again");
    log.DumpLog();
    EXPECT_EQ(Texts(ReadFile(log.FileName())), (std::vector<std::string>{"again\r\n"}));
}

TEST(EventLog, OneStampedLinePerCallWhileEnabled)
{
    QTemporaryDir dir;
    TIpEventLog log(nullptr);
    log.SetFileName(dir.path().toStdString() + "/event.log");
    log.SetDateTimeFormat("yyyy.mm.dd hh:nn:ss");
    log.WriteEventString("not written");
    log.SetEnabled(true);
    log.WriteEventString("Connect: Loc: 127.0.0.1:1 Rem: 127.0.0.1:2");
    log.WriteEventString("second");
    const std::string text = ReadFile(log.FileName());
    EXPECT_TRUE(
        std::regex_match(text, std::regex(R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d Connect: )"
                                          R"(Loc: 127\.0\.0\.1:1 Rem: 127\.0\.0\.1:2\r\n)"
                                          R"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d second\r\n)")))
        << text;
    log.SetFileName(dir.path().toStdString() + "/missing/event.log");
    EXPECT_THROW(log.WriteEventString("x"), std::system_error);
}

} // namespace
