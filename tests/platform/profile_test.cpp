#include "platform/atomic_file.h"
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class ProfileTest : public testing::Test {
protected:
    std::string Path(const std::string& name) const
    {
        return dir.path().toStdString() + "/" + name;
    }
    std::string Read(const std::string& path) const
    {
        std::string s;
        ReadWholeFile(path, s);
        return s;
    }
    QTemporaryDir dir;
};

TEST_F(ProfileTest, RoundTripKeepsOtherSectionsKeysAndComments)
{
    std::string ini = Path("station.ini");
    WriteFileAtomic(ini, "; hand written\n[GENERAL]\nName=ALPHA\nOdd line\n\n[MAIL]\nServer=ON\n"
                         "Unknown=kept\n");
    EXPECT_TRUE(WritePrivateProfileString("general", "name", "BRAVO", ini));
    EXPECT_TRUE(WritePrivateProfileString("MAIL", "Port", "25", ini));
    EXPECT_TRUE(WritePrivateProfileString("RADIO", "Model", "7", ini));
    EXPECT_EQ(Read(ini), "; hand written\r\n[GENERAL]\r\nName=BRAVO\r\nOdd line\r\n\r\n"
                         "[MAIL]\r\nServer=ON\r\nUnknown=kept\r\nPort=25\r\n\r\n"
                         "[RADIO]\r\nModel=7\r\n");
    EXPECT_EQ(GetPrivateProfileString("Mail", "UNKNOWN", "", ini), "kept");
    EXPECT_EQ(GetPrivateProfileInt("radio", "model", 0, ini), 7);
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesDefault)
{
    std::string ini = Path("none.ini");
    EXPECT_EQ(GetPrivateProfileString("GENERAL", "Name", "dflt", ini), "dflt");
    EXPECT_EQ(GetPrivateProfileInt("GENERAL", "Count", 42, ini), 42);
    WriteFileAtomic(ini, "[GENERAL]\r\nName=\r\nCount=abc\r\nLead=12xyz\r\n");
    EXPECT_EQ(GetPrivateProfileString("GENERAL", "Other", "dflt", ini), "dflt");
    EXPECT_EQ(GetPrivateProfileString("OTHER", "Name", "dflt", ini), "dflt");
    // Present but empty is a value, not a missing key.
    EXPECT_EQ(GetPrivateProfileString("GENERAL", "Name", "dflt", ini), "");
    EXPECT_EQ(GetPrivateProfileInt("GENERAL", "Count", 42, ini), 0);
    EXPECT_EQ(GetPrivateProfileInt("GENERAL", "Lead", 42, ini), 12);
    TIniFile f(ini);
    EXPECT_EQ(f.ReadInteger("GENERAL", "Count", 42), 42);
    EXPECT_EQ(f.ReadInteger("GENERAL", "Lead", 42), 42);
    EXPECT_TRUE(f.ReadBool("GENERAL", "Missing", true));
}

TEST_F(ProfileTest, ValuesAreTrimmedUnquotedAndKeptAsBytes)
{
    std::string ini = Path("v.ini");
    WriteFileAtomic(ini, "[S]\nA =  spaced value  \nB=\"quoted \"\nC=caf\xE9\r\nD=1=2\n");
    TIniFile f(ini);
    EXPECT_EQ(f.ReadString("s", "a", ""), "spaced value");
    EXPECT_EQ(f.ReadString("s", "b", ""), "quoted ");
    EXPECT_EQ(f.ReadString("s", "c", ""), "caf\xE9");
    EXPECT_EQ(f.ReadString("s", "d", ""), "1=2");
    // Windows-1252 letters compare without regard to case too.
    f.WriteString("\xC9T\xC9", "k", "1");
    EXPECT_EQ(f.ReadString("\xE9t\xE9", "K", ""), "1");
}

TEST_F(ProfileTest, BatchedFileWritesOnceAndHandlesBooleans)
{
    std::string ini = Path("b.ini");
    TIniFile f(ini);
    f.WriteBool("GENERAL", "Flag", true);
    f.WriteInteger("GENERAL", "Count", -3);
    f.WriteString("GENERAL", "Text", "TRUE");
    EXPECT_FALSE(access(ini.c_str(), F_OK) == 0) << "nothing written before UpdateFile";
    f.UpdateFile();
    TIniFile g(ini);
    EXPECT_TRUE(g.ReadBool("general", "flag", false));
    EXPECT_TRUE(g.ReadBool("general", "text", false));
    EXPECT_EQ(g.ReadInteger("general", "count", 0), -3);
    EXPECT_EQ(g.ReadSection("GENERAL"), (std::vector<std::string>{"Flag", "Count", "Text"}));
    g.EraseSection("general");
    g.DeleteKey("none", "x");
    g.UpdateFile();
    EXPECT_TRUE(TIniFile(ini).ReadSections().empty());
}

TEST_F(ProfileTest, ConcurrentWritersKeepEveryKey)
{
    std::string ini = Path("c.ini");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                WritePrivateProfileString("S" + std::to_string(t), "K" + std::to_string(i),
                                          std::to_string(i), ini);
        });
    for (auto& th : threads)
        th.join();
    TIniFile f(ini);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(f.ReadSection("S" + std::to_string(t)).size(), 25u);
}

TEST_F(ProfileTest, UnwritableFileReportsFailure)
{
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "V", Path("no/such/dir.ini")));
    TIniFile f(Path("no/such/dir.ini"));
    f.WriteString("S", "K", "V");
    EXPECT_THROW(f.UpdateFile(), std::system_error);
}

// Numbers are decimal as written: leading zeros make no octal, and nothing
// wraps into 32 bits.
TEST_F(ProfileTest, IntegersAreDecimalAsWritten)
{
    const std::string ini = Path("n.ini");
    WriteFileAtomic(ini, "[N]\nZero=034310\nHex=0x40\nPlus=+25\nMinus=-3\nBig=99999999999\n"
                         "Low=-2147483648\nBelow=-2147483649\nBlank=\nSign=-\nSpaced= 12 \n");
    TIniFile f(ini);
    struct {
        const char* key;
        int expected;
    } const cases[] = {{"Zero", 34310}, {"Hex", 7},         {"Plus", 25},  {"Minus", -3},
                       {"Big", 7},      {"Low", INT32_MIN}, {"Below", 7},  {"Blank", 7},
                       {"Sign", 7},     {"Spaced", 12},     {"Missing", 7}};
    for (const auto& c : cases)
        EXPECT_EQ(f.ReadInteger("N", c.key, 7), c.expected) << c.key;
}

// A header that is not whole, or that names a section met before, is a line
// not understood; the keys under it are no other section's, and the file
// keeps them as they were.
TEST_F(ProfileTest, BrokenAndRepeatedHeadersAreNotUnderstoodAndKept)
{
    const std::string ini = Path("h.ini");
    const std::string text = "[MAIL]\r\nA=1\r\n[SMTP\r\nPort=99\r\n[[[\r\nX=2\r\n[mail]\r\n"
                             "A=2\r\nB=3\r\n[]\r\n[A]]\r\n[ GOOD ] ; note\r\nK=v\r\n";
    WriteFileAtomic(ini, text);
    TIniFile f(ini);
    EXPECT_EQ(f.BadLines(),
              (std::vector<std::pair<size_t, std::string>>{
                  {3, "[SMTP"}, {5, "[[["}, {7, "[mail]"}, {10, "[]"}, {11, "[A]]"}}));
    EXPECT_EQ(f.ReadSections(), (std::vector<std::string>{"MAIL", "GOOD"}));
    EXPECT_EQ(f.ReadString("SMTP", "Port", "none"), "none");
    EXPECT_EQ(f.ReadString("MAIL", "A", ""), "1");
    EXPECT_EQ(f.ReadString("MAIL", "B", "none"), "none");
    EXPECT_EQ(f.ReadString("MAIL", "X", "none"), "none");
    EXPECT_EQ(f.ReadString("good", "K", ""), "v");
    EXPECT_EQ(f.Text(), text) << "nothing is rewritten";

    // Writing goes to the sections that can be read, or to a new one.
    f.WriteString("SMTP", "Port", "25");
    f.WriteString("MAIL", "B", "4");
    EXPECT_EQ(f.Text(), "[MAIL]\r\nA=1\r\nB=4\r\n[SMTP\r\nPort=99\r\n[[[\r\nX=2\r\n[mail]\r\n"
                        "A=2\r\nB=3\r\n[]\r\n[A]]\r\n[ GOOD ] ; note\r\nK=v\r\n\r\n"
                        "[SMTP]\r\nPort=25\r\n");
    f.EraseSection("mail");
    EXPECT_NE(f.Text().find("[mail]\r\nA=2\r\n"), std::string::npos);
    EXPECT_FALSE(f.SectionExists("MAIL"));
}

// A file of many sections (a hostile one, or a big table kept as one) is
// read and written without looking through every earlier section for each:
// the names compared per lookup grow as log n. Order, case and repeated
// headers behave as with a few sections.
TEST_F(ProfileTest, ManySectionsAreFoundByFewComparisons)
{
    const size_t n = 40000;
    const auto name = [](size_t i) { return "Section" + std::to_string(i); };
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += "[" + name(i) + "]\r\nKey=" + std::to_string(i) + "\r\n";
        // A repeat in another case is no section of its own.
        if (i == n / 2)
            text += "[SECTION17]\r\nKey=repeat\r\n";
    }
    const std::string ini = Path("many.ini");
    WriteFileAtomic(ini, text);

    const std::uint64_t before = IniSectionNameComparisons();
    TIniFile f(ini);
    size_t lookups = n;
    for (size_t i = 0; i < n; ++i) {
        std::string lower = name(i);
        lower[0] = 's';
        ASSERT_EQ(f.ReadInteger(lower, "KEY", -1), static_cast<int>(i));
    }
    lookups += n;
    const std::uint64_t compared = IniSectionNameComparisons() - before;
    // A balanced tree: at most twice its least height, and one more.
    EXPECT_LE(compared, lookups * static_cast<std::uint64_t>(2 * std::log2(n + 1) + 2));
    EXPECT_EQ(f.BadLines(), (std::vector<std::pair<size_t, std::string>>{{n + 3, "[SECTION17]"}}));
    EXPECT_EQ(f.ReadString("Section17", "Key", ""), "17");

    const std::vector<std::string> sections = f.ReadSections();
    ASSERT_EQ(sections.size(), n);
    for (size_t i = 0; i < n; i += 997)
        EXPECT_EQ(sections[i], name(i));

    // Writing: into the section of that name wherever it is, or a new one
    // at the end; an erased section takes only itself with it.
    f.WriteString("section39999", "Added", "1");
    f.WriteString("NEW", "Key", "new");
    f.EraseSection("SECTION5");
    f.EraseSection("section100");
    EXPECT_FALSE(f.SectionExists("Section5"));
    EXPECT_EQ(f.ReadString("Section101", "Key", ""), "101");
    EXPECT_EQ(f.ReadString("Section39999", "Added", ""), "1");
    f.WriteString("Section5", "Key", "again");
    EXPECT_EQ(f.ReadString("SECTION5", "Key", ""), "again");
    f.UpdateFile();
    const TIniFile g(ini);
    const std::vector<std::string> after = g.ReadSections();
    ASSERT_EQ(after.size(), n);
    EXPECT_EQ(after[4], "Section4");
    EXPECT_EQ(after[5], "Section6");
    EXPECT_EQ(after[98], "Section99");
    EXPECT_EQ(after[99], "Section101");
    EXPECT_EQ(after[n - 3], "Section39999");
    EXPECT_EQ(after[n - 2], "NEW");
    EXPECT_EQ(after[n - 1], "Section5");
    EXPECT_EQ(g.ReadString("section5", "key", ""), "again");
    EXPECT_EQ(g.ReadString("section17", "key", ""), "17");
    EXPECT_EQ(g.ReadString("section39998", "key", ""), "39998");
    EXPECT_EQ(g.BadLines().size(), 1u);
    EXPECT_NE(Read(ini).find("[SECTION17]\r\nKey=repeat\r\n"), std::string::npos);
}

void DieBeforeRename(const std::string&)
{
    _exit(3);
}

// A file that is there but cannot be read (a link to itself) would lose
// every other key if one key were written over it.
TEST_F(ProfileTest, AFileThatCannotBeReadIsNeverWrittenOver)
{
    const std::string ini = Path("loop.ini");
    ASSERT_EQ(::symlink("loop.ini", ini.c_str()), 0);
    EXPECT_EQ(GetPrivateProfileString("GENERAL", "Name", "dflt", ini), "dflt");
    EXPECT_FALSE(WritePrivateProfileString("GENERAL", "Name", "BRAVO", ini));
    TIniFile batch(ini);
    batch.WriteString("GENERAL", "Name", "BRAVO");
    EXPECT_THROW(batch.UpdateFile(), std::system_error);
    struct stat st;
    ASSERT_EQ(::lstat(ini.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(ProfileTest, CrashBetweenWriteAndRenameLeavesOldFile)
{
    std::string ini = Path("crash.ini");
    WriteFileAtomic(ini, "[GENERAL]\r\nName=OLD\r\n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        SetAtomicWriteHook(&DieBeforeRename);
        WritePrivateProfileString("GENERAL", "Name", "NEW", ini);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 3) << "the write must have reached the hook";
    EXPECT_EQ(Read(ini), "[GENERAL]\r\nName=OLD\r\n");
    EXPECT_EQ(GetPrivateProfileString("GENERAL", "Name", "", ini), "OLD");
}

} // namespace
