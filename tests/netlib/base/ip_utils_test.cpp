#include "netlib/base/ip_utils.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <fstream>
#include <functional>
#include <sstream>
#include <system_error>
#include <thread>

namespace {

TEST(IpUtilsSearch, PositionsAreOneBasedAndZeroWhenAbsent)
{
    EXPECT_EQ(CharPosIdx('a', "abc", 4), 0);
    EXPECT_EQ(CharPosIdx('a', "abca", 2), 4);
    EXPECT_EQ(CharPosIdx('a', "abca", 0), 0);
    EXPECT_EQ(NthCharPos('/', "a/b/c", 2), 4);
    EXPECT_EQ(NthCharPos('/', "a/b/c", 3), 0);
    EXPECT_EQ(NthCharPos('/', "a/b/c", 0), 0);
    EXPECT_EQ(RNthCharPos('/', "a/b/c", 1), 4);
    EXPECT_EQ(RNthCharPos('/', "a/b/c", 2), 2);
    EXPECT_EQ(RCharPosIdx('a', "abca", 3), 1);
    EXPECT_EQ(RCharPosIdx('a', "abca", 5), 0);
    EXPECT_EQ(RCharPos('a', "abca"), 4);
    EXPECT_EQ(CharPos('A', "abca"), 0);
    EXPECT_EQ(RPos("ab", "abcab"), 4);
    EXPECT_EQ(RPos("", "abcab"), 0);
    EXPECT_EQ(RPos("abcabc", "abcab"), 0);
    EXPECT_EQ(PosIdx("ca", "abcab", 2), 3);
    EXPECT_EQ(PosIdx("ab", "abcab", 2), 4);
    EXPECT_EQ(PosIdx("ab", "abcab", 6), 0);
}

TEST(IpUtilsText, TrimAndUnsignedComparison)
{
    EXPECT_EQ(AllTrimSpaces("  a b  "), "a b");
    EXPECT_EQ(AllTrimSpaces("\ta "), "\ta");
    EXPECT_EQ(AllTrimSpaces("   "), "");
    EXPECT_EQ(IpCompStruct("a", "b", 0), 0);
    EXPECT_EQ(IpCompStruct("ab\x80", "ab\x01", 3), 1);
    EXPECT_EQ(IpCompStruct("ab\x01", "ab\x80", 3), -1);
}

TEST(IpUtilsPaths, DrivesAndSlashes)
{
    EXPECT_EQ(NetToDOSPath("/c|/windows/"), "c:\\windows\\");
    EXPECT_EQ(DOSToNetPath("c:\\windows\\"), "c|/windows/");
    EXPECT_EQ(NetToDOSPath("/dir/file"), "\\dir\\file");
    EXPECT_EQ(RemoveSlash("/"), "");
    EXPECT_EQ(RemoveSlash(""), "");
    EXPECT_EQ(AppendSlash(""), "");
    EXPECT_EQ(AppendSlash("a"), "a/");
    EXPECT_EQ(AppendSlash("a/"), "a/");
    EXPECT_EQ(AppendBackSlash(""), "");
    EXPECT_EQ(RemoveBackSlash("a\\\\"), "a\\");
}

TEST(IpUtilsSums, ChecksumAndDigests)
{
    const unsigned char two[] = {0x01, 0x02};
    EXPECT_EQ(InternetSumPrim(two, 2, 0), 0xFDFE);
    EXPECT_EQ(InternetSumPrim(two, 0, 0x1234), 0x1234);
    EXPECT_EQ(MD5SumOfString(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MD5SumOfString("abc"), "900150983cd24fb0d6963f7d28e17f72");

    // A stream sum goes block by block, each block starting from the
    // previous result; 4096 bytes are two full blocks and an empty one.
    std::string data(4096, '\x5A');
    data[0] = '\x01';
    std::istringstream in(data);
    const uint16_t first = InternetSumPrim(data.data(), 2048, 7);
    EXPECT_EQ(InternetSumOfStream(in, 7), InternetSumPrim(data.data() + 2048, 2048, first));

    QTemporaryDir dir;
    const std::string name = dir.filePath("data.bin").toStdString();
    std::ofstream(name, std::ios::binary) << "abc";
    EXPECT_EQ(MD5SumOfFile(name), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_THROW(MD5SumOfFile(name + ".missing"), std::system_error);
    EXPECT_THROW(InternetSumOfFile(name + ".missing"), std::system_error);
}

TEST(IpUtilsFiles, TemporaryFilesDirectoriesAndContentTypes)
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString();
    EXPECT_TRUE(DirExists(path));
    EXPECT_FALSE(DirExists(path + "/none"));
    const std::string first = GetTemporaryFile(path);
    const std::string second = GetTemporaryFile(path);
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(path + "/IP_", 0), 0u);
    EXPECT_TRUE(std::ifstream(first).good());
    EXPECT_EQ(GetTemporaryFile(path + "/none"), "");
    EXPECT_EQ(GetTemporaryPath().back(), '/');

    EXPECT_EQ(GetLocalContent("c:\\docs\\note.txt"), "text/plain");
    EXPECT_EQ(GetLocalContent("c:\\my.docs\\note"), "");
    EXPECT_EQ(GetLocalContent("file.nosuchextension"), "");
}

const auto kPing = static_cast<QEvent::Type>(QEvent::User + 7);

class TPinged : public QObject {
public:
    int Count = 0;
    std::function<void()> OnPing;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() != kPing)
            return QObject::event(e);
        ++Count;
        if (OnPing)
            OnPing();
        return true;
    }
};

// Events left by the platform or earlier tests go first.
void Drain()
{
    for (int i = 0; i < 1000 && IpUtils::SafeYield() != 0; ++i) {
    }
}

TEST(IpUtilsSafeYield, HandlesWhatWaitsAndNamesTheFirstEvent)
{
    Drain();
    TPinged target;
    QCoreApplication::postEvent(&target, new QEvent(kPing));
    QCoreApplication::postEvent(&target, new QEvent(kPing));
    const auto address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&target));
    EXPECT_EQ(IpUtils::SafeYield(), static_cast<uint32_t>(kPing) | (address << 16));
    EXPECT_EQ(target.Count, 2);
    EXPECT_EQ(IpUtils::SafeYield(), 0u);

    uint32_t offThread = 99;
    std::thread([&offThread] { offThread = IpUtils::SafeYield(); }).join();
    EXPECT_EQ(offThread, 0u) << "a thread without an event queue has nothing to handle";
}

TEST(IpUtilsSafeYield, AQuitAskedForMeanwhileStillEndsTheLoop)
{
    QEventLoop loop;
    TPinged target;
    target.OnPing = [&loop] { loop.exit(5); };
    bool wentOn = false;
    QTimer::singleShot(0, [&] {
        QCoreApplication::postEvent(&target, new QEvent(kPing));
        EXPECT_NE(IpUtils::SafeYield(), 0u);
        wentOn = true;
    });
    // A quit that was swallowed fails here instead of hanging.
    QTimer::singleShot(30000, &loop, [&loop] { loop.exit(-1); });
    EXPECT_EQ(loop.exec(), 5);
    EXPECT_EQ(target.Count, 1);
    EXPECT_TRUE(wentOn);
}

} // namespace
