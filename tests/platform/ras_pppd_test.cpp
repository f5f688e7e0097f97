#include "platform/ras_pppd.h"
#include "platform/thread.h"
#include "support/ppp_words.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

TEST(PppdRas, CommandLineKeepsTheSecretsInTheOptionsFile)
{
    EXPECT_EQ(TPppdRas::CommandLine("/usr/sbin/pppd", "/etc/ppp", "isp", "/tmp/d/options"),
              (std::vector<std::string>{"/usr/sbin/pppd", "call", "isp", "nodetach", "nopersist",
                                        "logfd", "1", "file", "/tmp/d/options"}));
    // pppd calls only from its own directory.
    EXPECT_EQ(TPppdRas::CommandLine("pppd", "/srv/ppp", "isp", "o")[1], "file");
    EXPECT_EQ(TPppdRas::CommandLine("pppd", "/srv/ppp", "isp", "o")[2], "/srv/ppp/peers/isp");
    EXPECT_EQ(TPppdRas::OptionsText("bob smith", "p\"w\\d"),
              "user \"bob smith\"\npassword \"p\\\"w\\\\d\"\n");
    EXPECT_EQ(TPppdRas::OptionsText("", "a\nb\tc"), "password \"abc\"\n");
    EXPECT_EQ(TPppdRas::OptionsText("", ""), "");
}

TEST(PppdRas, ExitStatusesAndLogLines)
{
    EXPECT_EQ(TPppdRas::ExitCodeToRas(8), 678);
    EXPECT_EQ(TPppdRas::ExitCodeToRas(19), 691);
    EXPECT_EQ(TPppdRas::ExitCodeToRas(11), 691);
    EXPECT_EQ(TPppdRas::ExitCodeToRas(5), 631);
    EXPECT_EQ(TPppdRas::ExitCodeToRas(7), 633);
    EXPECT_EQ(TPppdRas::ExitCodeToRas(99), 635);
    std::string ip, device;
    EXPECT_EQ(TPppdRas::StateOfLogLine("Connect: ppp0 <--> /dev/ttyS0", ip, device), 4);
    EXPECT_EQ(device, "/dev/ttyS0");
    EXPECT_EQ(TPppdRas::StateOfLogLine("CHAP authentication succeeded", ip, device), 14);
    EXPECT_EQ(TPppdRas::StateOfLogLine("local  IP address 10.1.2.3", ip, device), 0x2000);
    EXPECT_EQ(ip, "10.1.2.3");
    EXPECT_EQ(TPppdRas::StateOfLogLine("remote IP address 10.1.2.1", ip, device), -1);
}

// A stand-in for pppd: it records what it was given and plays a dial.
class PppdRasRunTest : public testing::Test {
protected:
    void SetUp() override
    {
        Root = Dir.path().toStdString();
        ::mkdir((Root + "/peers").c_str(), 0755);
        ::mkdir((Root + "/peers/sub").c_str(), 0755);
        ::mkdir((Root + "/tmp").c_str(), 0700);
        std::ofstream(Root + "/peers/isp") << "# provider\n  user \"bob smith\"  \nnoauth\n";
        std::ofstream(Root + "/peers/fail") << "noauth\n";
        std::ofstream(Root + "/peers/.hidden") << "\n";
        const std::string program = Root + "/pppd";
        std::ofstream(program) << "#!/bin/sh\n"
                                  "echo \"$@\" > '"
                               << Root
                               << "/args'\n"
                                  "stat -c %a \"$8\" > '"
                               << Root
                               << "/mode'\n"
                                  "cat \"$8\" > '"
                               << Root
                               << "/options'\n"
                                  "case \"$2\" in\n"
                                  "*/fail) echo 'Connect script failed'; exit 8;;\n"
                                  "*/badopt) echo \"pppd: unrecognized option "
                                  "'/dev/ttyUSB0'\" >&2; exit 2;;\n"
                                  "*/chatty) for i in 1 2 3 4 5; do echo \"line $i\"; done;\n"
                                  "  printf '\\n \\t\\nB\\303\\274ro \\001down\\r\\n'; exit 19;;\n"
                                  "esac\n"
                                  "trap 'exit 5' TERM\n"
                                  "echo 'Serial connection established.'\n"
                                  "echo 'Using interface ppp0'\n"
                                  "echo 'Connect: ppp0 <--> /dev/ttyS0'\n"
                                  "echo 'local  IP address 10.1.2.3'\n"
                                  "while :; do sleep 0.05; done\n";
        ::chmod(program.c_str(), 0755);
        Settings.Program = program;
        Settings.PppDir = Root;
        Settings.TempDir = Root + "/tmp";
        Settings.NetDir = Root + "/net";
    }

    int Mode(const std::string& path) const
    {
        struct stat st {};
        return ::stat((Root + "/" + path).c_str(), &st) == 0 ? st.st_mode & 07777 : -1;
    }

    QTemporaryDir Dir;
    std::string Root;
    TPppdRas::TSettings Settings;
};

TEST_F(PppdRasRunTest, PhoneBookIsThePeersDirectory)
{
    // A password written by hand for the user, as pppd reads it.
    std::ofstream(Root + "/pap-secrets") << "\"bob smith\" * 'by hand'\n";
    TPppdRas ras(Settings);
    EXPECT_TRUE(ras.Available());
    std::vector<std::string> names;
    EXPECT_EQ(ras.EnumEntries("", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"fail", "isp"}));
    TRasDialParams params;
    params.EntryName = "isp";
    bool hasPassword = false;
    EXPECT_EQ(ras.GetEntryDialParams("", params, hasPassword), 0);
    EXPECT_EQ(params.UserName, "bob smith");
    EXPECT_TRUE(hasPassword);
    EXPECT_EQ(params.Password, "by hand");

    // The directory named in the environment, with a slash too many.
    ::setenv("SKIPMAIL_PPP_DIR", (Root + "/").c_str(), 1);
    const TPppdRas::TSettings named = TPppdRas::DefaultSettings();
    ::unsetenv("SKIPMAIL_PPP_DIR");
    EXPECT_EQ(named.PppDir, Root);
    EXPECT_EQ(TPppdRas::DefaultSettings().PppDir, "/etc/ppp");

    Settings.Program = Root + "/none";
    Settings.PppDir = Root + "/none";
    TPppdRas missing(Settings);
    EXPECT_FALSE(missing.Available());
    EXPECT_EQ(missing.EnumEntries("", names), 0);
    EXPECT_TRUE(names.empty());
}

TEST_F(PppdRasRunTest, EntriesRoundTripThroughPppdsFiles)
{
    // Another secret, in a file anyone could read.
    std::ofstream(Root + "/pap-secrets") << "# kept\nalice * \"other secret\"\n";
    ::chmod((Root + "/pap-secrets").c_str(), 0644);
    TPppdRas ras(Settings);
    const std::string name = "B\xFCro \"#1\" \\ 'x'";
    // Its file is named in UTF-8, as the shell shows names.
    const std::string file = "B\xC3\xBCro \"#1\" \\ 'x'";
    TRasEntry properties{"0,555 1234", "/dev/ttyS1 57600\n# keep me\ncrtscts\n"};
    ASSERT_EQ(ras.SetEntryProperties("", name, properties), 0);
    TRasDialParams params;
    params.EntryName = name;
    params.UserName = "bob \"the\" # \\ sm\xEFth";
    params.Password = "p w\"#\\\xE9'x";
    ASSERT_EQ(ras.SetEntryDialParams("", params, false), 0);

    const TPppWords peers = PppdReads(Root + "/peers/" + file);
    ASSERT_EQ(peers.size(), 5u);
    EXPECT_EQ(peers[0], (std::vector<std::string>{"/dev/ttyS1", "57600"}));
    EXPECT_EQ(peers[1], (std::vector<std::string>{"crtscts"}));
    ASSERT_EQ(peers[2].size(), 2u);
    EXPECT_EQ(peers[2][0], "connect");
    EXPECT_NE(peers[2][1].find("chat -v -T '0,555 1234' "), std::string::npos);
    EXPECT_EQ(peers[3], (std::vector<std::string>{"user", params.UserName}));
    EXPECT_EQ(peers[4], (std::vector<std::string>{"remotename", name}));
    const std::vector<std::string> secret{params.UserName, name, params.Password};
    EXPECT_EQ(PppdReads(Root + "/pap-secrets"),
              (TPppWords{{"alice", "*", "other secret"}, secret}));
    EXPECT_EQ(PppdReads(Root + "/chap-secrets"), TPppWords{secret});
    EXPECT_EQ(Mode("pap-secrets"), 0600);
    EXPECT_EQ(Mode("chap-secrets"), 0600);
    EXPECT_EQ(Mode("peers/" + file), 0644);

    TRasDialParams read;
    read.EntryName = name;
    bool hasPassword = false;
    ASSERT_EQ(ras.GetEntryDialParams("", read, hasPassword), 0);
    EXPECT_TRUE(hasPassword);
    EXPECT_EQ(read.UserName, params.UserName);
    EXPECT_EQ(read.Password, params.Password);
    EXPECT_EQ(read.PhoneNumber, "0,555 1234");
    TRasEntry readProperties;
    ASSERT_EQ(ras.GetEntryProperties("", name, readProperties), 0);
    EXPECT_EQ(readProperties.PhoneNumber, properties.PhoneNumber);
    EXPECT_EQ(readProperties.Options, properties.Options);

    // A new password replaces the entry's line and nothing else.
    params.Password = "second";
    ASSERT_EQ(ras.SetEntryDialParams("", params, false), 0);
    EXPECT_EQ(PppdReads(Root + "/pap-secrets"),
              (TPppWords{{"alice", "*", "other secret"}, {params.UserName, name, "second"}}));

    // Renaming takes the secrets along; deleting takes them away.
    ASSERT_EQ(ras.RenameEntry("", name, "Office"), 0);
    EXPECT_EQ(Mode("peers/" + file), -1);
    EXPECT_EQ(PppdReads(Root + "/chap-secrets"),
              (TPppWords{{params.UserName, "Office", "second"}}));
    read.EntryName = "Office";
    ASSERT_EQ(ras.GetEntryDialParams("", read, hasPassword), 0);
    EXPECT_EQ(read.Password, "second");
    ASSERT_EQ(ras.DeleteEntry("", "Office"), 0);
    EXPECT_EQ(PppdReads(Root + "/pap-secrets"), (TPppWords{{"alice", "*", "other secret"}}));
    EXPECT_EQ(PppdReads(Root + "/chap-secrets"), TPppWords{});
    std::vector<std::string> names;
    ras.EnumEntries("", names);
    EXPECT_EQ(names, (std::vector<std::string>{"fail", "isp"}));
}

TEST_F(PppdRasRunTest, EntryFilesAreNamedInUtf8AndOldNamesStillFound)
{
    TPppdRas ras(Settings);
    ASSERT_EQ(ras.SetEntryProperties("", "B\xFCro", TRasEntry{"1", "noauth\n"}), 0);
    EXPECT_EQ(Mode("peers/B\xC3\xBCro"), 0644);
    EXPECT_EQ(Mode("peers/B\xFCro"), -1);
    // A name once written byte for byte; one a shell wrote in a script
    // Windows-1252 has not; and an old file beside its new one.
    WriteFile(Root + "/peers/Caf\xE9", "noauth\nuser \"old\"\n");
    WriteFile(Root + "/peers/\xD0\x9E\xD1\x84\xD0\xB8\xD1\x81", "noauth\n");
    WriteFile(Root + "/peers/B\xFCro", "noauth\n");
    std::vector<std::string> names;
    ASSERT_EQ(ras.EnumEntries("", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"B\xFCro", "Caf\xE9", "fail", "isp"}));

    TRasDialParams params;
    params.EntryName = "Caf\xE9";
    bool hasPassword = false;
    ASSERT_EQ(ras.GetEntryDialParams("", params, hasPassword), 0);
    EXPECT_EQ(params.UserName, "old");
    params.UserName = "new";
    ASSERT_EQ(ras.SetEntryDialParams("", params, false), 0);
    EXPECT_EQ(PppdReads(Root + "/peers/Caf\xE9"), (TPppWords{{"noauth"}, {"user", "new"}}));
    EXPECT_EQ(ras.ValidateEntryName("", "Caf\xE9"), RasCode::ERROR_ALREADY_EXISTS);
    // Renamed, it takes the new form.
    ASSERT_EQ(ras.RenameEntry("", "Caf\xE9", "Caf\xE9 2"), 0);
    EXPECT_EQ(Mode("peers/Caf\xE9"), -1);
    EXPECT_EQ(Mode("peers/Caf\xC3\xA9 2"), 0644);

    // pppd is given the file's name.
    params = TRasDialParams{};
    params.EntryName = "B\xFCro";
    HRASCONN handle = 0;
    std::string words;
    ASSERT_EQ(ras.Dial("", params, nullptr, handle, words), 0);
    EXPECT_EQ(ReadFile(Root + "/args").rfind("file " + Root + "/peers/B\xC3\xBCro nodetach", 0),
              0u);
    EXPECT_EQ(TPppdRas::CommandLine("pppd", "/etc/ppp", "B\xC3\xBCro", "o")[2], "B\xC3\xBCro");
    ras.HangUp(handle);
}

TEST_F(PppdRasRunTest, DomainAndCallbackNumberAreKeptWithTheEntry)
{
    TPppdRas ras(Settings);
    TRasDialParams params;
    params.EntryName = "isp";
    params.UserName = "bob";
    params.Password = "pw";
    params.Domain = "example.org";
    params.CallbackNumber = "555 0100";
    ASSERT_EQ(ras.SetEntryDialParams("", params, false), 0);
    // pppd reads the domain; the callback number is a comment to it.
    EXPECT_EQ(
        PppdReads(Root + "/peers/isp"),
        (TPppWords{{"noauth"}, {"user", "bob"}, {"remotename", "isp"}, {"domain", "example.org"}}));
    // Kept through new properties and a rename, and read back.
    ASSERT_EQ(ras.SetEntryProperties("", "isp", TRasEntry{"5551234", "crtscts\n"}), 0);
    ASSERT_EQ(ras.RenameEntry("", "isp", "provider"), 0);
    TRasDialParams read;
    read.EntryName = "provider";
    bool hasPassword = false;
    ASSERT_EQ(ras.GetEntryDialParams("", read, hasPassword), 0);
    EXPECT_EQ(read.Domain, "example.org");
    EXPECT_EQ(read.CallbackNumber, "555 0100");
    EXPECT_EQ(read.PhoneNumber, "5551234");

    // Cleared, both lines go.
    read.Domain.clear();
    read.CallbackNumber.clear();
    ASSERT_EQ(ras.SetEntryDialParams("", read, false), 0);
    const std::string text = ReadFile(Root + "/peers/provider");
    EXPECT_EQ(text.find("domain"), std::string::npos);
    EXPECT_EQ(text.find("callback"), std::string::npos);
}

TEST_F(PppdRasRunTest, CheckingValuesNamesTheOneRefusedAndWritesNothing)
{
    TPppdRas ras(Settings);
    const TRasEntry good{"555 1234", "noauth\n"};
    TRasDialParams fine;
    fine.UserName = "bob";
    fine.Password = "pw";
    fine.Domain = "WORK";
    fine.CallbackNumber = "5550100";
    TRasRefusal refusal;
    EXPECT_EQ(ras.CheckEntryValues(good, fine, refusal), 0);
    EXPECT_EQ(refusal.Field, TRasField::None);
    // An empty password is removed, never stored.
    fine.Password.clear();
    EXPECT_EQ(ras.CheckEntryValues(good, fine, refusal), 0);

    struct TCase {
        const char* What;
        TRasEntry Properties;
        std::function<void(TRasDialParams&)> Change;
        TRasField Field;
        std::string Why;
    };
    const auto none = [](TRasDialParams&) {};
    const TCase cases[] = {
        {"number for the shell",
         {"555;reboot", ""},
         none,
         TRasField::PhoneNumber,
         "holds characters"},
        {"long number",
         {std::string(129, '5'), ""},
         none,
         TRasField::PhoneNumber,
         "longer than 128"},
        {"options control",
         {"", "a\x01"
              "b\n"},
         none,
         TRasField::Options,
         "hold a control"},
        {"options quote", {"", "user \"open\n"}, none, TRasField::Options, "end inside quotes"},
        {"user line break", good, [](TRasDialParams& p) { p.UserName = "a\nb"; },
         TRasField::UserName, "holds a control"},
        {"long user", good, [](TRasDialParams& p) { p.UserName = std::string(257, 'u'); },
         TRasField::UserName, "longer than 256"},
        {"password tab", good, [](TRasDialParams& p) { p.Password = "tab\there"; },
         TRasField::Password, "holds a control"},
        {"password file", good, [](TRasDialParams& p) { p.Password = "@/etc/shadow"; },
         TRasField::Password, "starts with \"@\""},
        {"domain", good, [](TRasDialParams& p) { p.Domain = "a\rb"; }, TRasField::Domain,
         "holds a control"},
        {"callback", good, [](TRasDialParams& p) { p.CallbackNumber = "5$(x)"; },
         TRasField::CallbackNumber, "holds characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TRasDialParams params = fine;
        params.EntryName = "isp";
        c.Change(params);
        EXPECT_EQ(ras.CheckEntryValues(c.Properties, params, refusal),
                  RasCode::ERROR_INVALID_PARAMETER);
        EXPECT_EQ(refusal.Field, c.Field);
        EXPECT_NE(refusal.Why.find(c.Why), std::string::npos) << refusal.Why;
        // Storing is refused alike.
        if (c.Properties.PhoneNumber == good.PhoneNumber && c.Properties.Options == good.Options)
            EXPECT_EQ(ras.SetEntryDialParams("", params, false), RasCode::ERROR_INVALID_PARAMETER);
        else
            EXPECT_EQ(ras.SetEntryProperties("", "isp", c.Properties),
                      RasCode::ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(ReadFile(Root + "/peers/isp"), "# provider\n  user \"bob smith\"  \nnoauth\n");
    EXPECT_EQ(Mode("pap-secrets"), -1);
}

TEST_F(PppdRasRunTest, FailedDialSaysPppdsLastWords)
{
    WriteFile(Root + "/peers/badopt", "ttyUSB0\n");
    WriteFile(Root + "/peers/chatty", "noauth\n");
    TPppdRas ras(Settings);
    TRasDialParams params;
    HRASCONN handle = 0;
    std::string words = "stale";
    params.EntryName = "badopt";
    EXPECT_EQ(ras.Dial("", params, nullptr, handle, words), RasCode::ERROR_CORRUPT_PHONEBOOK);
    EXPECT_EQ(words, "pppd: unrecognized option '/dev/ttyUSB0'");
    // The last three lines that say anything, without control characters,
    // in the station's text.
    params.EntryName = "chatty";
    EXPECT_EQ(ras.Dial("", params, nullptr, handle, words), RasCode::ERROR_AUTHENTICATION_FAILURE);
    EXPECT_EQ(words, "line 4\nline 5\nB\xFCro down");
    // Connected, or hung up while dialling: nothing to say.
    params.EntryName = "isp";
    ASSERT_EQ(ras.Dial("", params, nullptr, handle, words), 0);
    EXPECT_EQ(words, "");
    ras.HangUp(handle);
}

TEST_F(PppdRasRunTest, BackendEndsCleanlyWithALineJustHungUp)
{
    // Its readers end as it goes; none may be left to end itself.
    for (int i = 0; i < 40; ++i) {
        TPppdRas ras(Settings);
        TRasDialParams params;
        params.EntryName = "isp";
        HRASCONN handle = 0;
        std::string words;
        ASSERT_EQ(ras.Dial("", params, nullptr, handle, words), 0);
        ras.HangUp(handle);
    }
}

TEST_F(PppdRasRunTest, HostileNamesNeverLeaveThePeersDirectory)
{
    std::ofstream(Root + "/x") << "precious";
    TPppdRas ras(Settings);
    for (const std::string& name : {std::string("../x"), std::string("/etc/passwd"),
                                    std::string("a\nb"), std::string(300, 'a'), std::string(".."),
                                    std::string("."), std::string(""), std::string("sub/x")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ras.ValidateEntryName("", name), RasCode::ERROR_INVALID_NAME);
        EXPECT_EQ(ras.SetEntryProperties("", name, TRasEntry{"1", ""}),
                  RasCode::ERROR_INVALID_NAME);
        EXPECT_EQ(ras.RenameEntry("", "isp", name), RasCode::ERROR_INVALID_NAME);
        EXPECT_EQ(ras.DeleteEntry("", name), RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
        TRasDialParams params;
        params.EntryName = name;
        params.Password = "pw";
        EXPECT_EQ(ras.SetEntryDialParams("", params, false),
                  RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    }
    EXPECT_EQ(ReadFile(Root + "/x"), "precious");
    EXPECT_EQ(Mode("pap-secrets"), -1);
    EXPECT_TRUE(QDir(QString::fromStdString(Root + "/peers/sub")).isEmpty());
    EXPECT_EQ(ras.ValidateEntryName("", "isp"), RasCode::ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ras.ValidateEntryName("", "new one"), 0);
}

TEST_F(PppdRasRunTest, ValuesPppdCouldNotReadAreRefused)
{
    TPppdRas ras(Settings);
    for (const auto& properties : {TRasEntry{"555;reboot", ""}, TRasEntry{"555'", ""},
                                   TRasEntry{"", "user \"open\n"}, TRasEntry{"", "a\x01b\n"}})
        EXPECT_EQ(ras.SetEntryProperties("", "new", properties), RasCode::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Mode("peers/new"), -1);

    const std::string before = ReadFile(Root + "/peers/isp");
    TRasDialParams params;
    params.EntryName = "isp";
    params.UserName = "a\nb";
    EXPECT_EQ(ras.SetEntryDialParams("", params, false), RasCode::ERROR_INVALID_PARAMETER);
    params.UserName = "bob";
    // pppd would read the secret from the file it names.
    params.Password = "@/etc/shadow";
    EXPECT_EQ(ras.SetEntryDialParams("", params, false), RasCode::ERROR_INVALID_PARAMETER);
    params.Password = "tab\there";
    EXPECT_EQ(ras.SetEntryDialParams("", params, false), RasCode::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ReadFile(Root + "/peers/isp"), before);
    EXPECT_EQ(Mode("pap-secrets"), -1);
}

TEST_F(PppdRasRunTest, DialConnectsAndHangupEndsThatPppd)
{
    TPppdRas ras(Settings);
    TRasDialParams params;
    params.EntryName = "isp";
    params.UserName = "bob";
    params.Password = "s3cret";
    std::vector<int> states;
    HRASCONN handle = 0;
    std::string words;
    ASSERT_EQ(ras.Dial(
                  "", params, [&](int s) { states.push_back(s); }, handle, words),
              0);
    ASSERT_NE(handle, 0u);
    EXPECT_FALSE(states.empty());

    const std::string args = ReadFile(Root + "/args");
    const std::string head = "file " + Root + "/peers/isp nodetach nopersist logfd 1 file " +
                             Settings.TempDir + "/skipmail-ppp-";
    EXPECT_EQ(args.substr(0, head.size()), head);
    EXPECT_EQ(args.substr(args.size() - 9), "/options\n");
    EXPECT_EQ(ReadFile(Root + "/mode"), "600\n");
    EXPECT_EQ(ReadFile(Root + "/options"), TPppdRas::OptionsText("bob", "s3cret"));
    EXPECT_EQ(args.find("s3cret"), std::string::npos);
    // Nothing of the secrets is left on disk.
    QDir tmp(QString::fromStdString(Settings.TempDir));
    EXPECT_TRUE(tmp.isEmpty());

    TRasConnStatus status;
    EXPECT_EQ(ras.GetConnectStatus(handle, status), 0);
    EXPECT_EQ(status.State, 0x2000);
    EXPECT_EQ(status.DeviceName, "/dev/ttyS0");
    EXPECT_GE(status.ConnectedMs, 0);
    // No counters for the link yet, then the kernel's.
    EXPECT_EQ(status.BytesSent, -1);
    ::mkdir((Root + "/net").c_str(), 0755);
    ::mkdir((Root + "/net/ppp0").c_str(), 0755);
    ::mkdir((Root + "/net/ppp0/statistics").c_str(), 0755);
    std::ofstream(Root + "/net/ppp0/statistics/tx_bytes") << "1234\n";
    std::ofstream(Root + "/net/ppp0/statistics/rx_bytes") << "56789\n";
    EXPECT_EQ(ras.GetConnectStatus(handle, status), 0);
    EXPECT_EQ(status.BytesSent, 1234);
    EXPECT_EQ(status.BytesReceived, 56789);
    std::string ip;
    EXPECT_EQ(ras.GetIpAddress(handle, ip), 0);
    EXPECT_EQ(ip, "10.1.2.3");
    std::vector<TRasConnection> connections;
    ras.EnumConnections(connections);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].EntryName, "isp");

    EXPECT_EQ(ras.HangUp(handle), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ras.GetConnectStatus(handle, status) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ras.GetConnectStatus(handle, status), RasCode::ERROR_INVALID_HANDLE);
    ras.EnumConnections(connections);
    EXPECT_TRUE(connections.empty());
}

TEST_F(PppdRasRunTest, FailedDialsGiveTheirRasCodes)
{
    TPppdRas ras(Settings);
    TRasDialParams params;
    HRASCONN handle = 7;
    std::string words;
    params.EntryName = "fail";
    EXPECT_EQ(ras.Dial("", params, nullptr, handle, words), RasCode::ERROR_NO_ANSWER);
    EXPECT_EQ(handle, 0u);
    params.EntryName = "nowhere";
    EXPECT_EQ(ras.Dial("", params, nullptr, handle, words), 623);
    params.EntryName = ".hidden";
    EXPECT_EQ(ras.Dial("", params, nullptr, handle, words), 623);
    EXPECT_TRUE(QDir(QString::fromStdString(Settings.TempDir)).isEmpty());

    // No thread to follow a started pppd: that pppd is ended, nothing listed.
    params.EntryName = "isp";
    FailNextSystemThreads(1);
    EXPECT_EQ(ras.Dial("", params, nullptr, handle, words), RasCode::ERROR_UNKNOWN);
    EXPECT_EQ(handle, 0u);
    std::vector<TRasConnection> connections;
    ras.EnumConnections(connections);
    EXPECT_TRUE(connections.empty());
    EXPECT_TRUE(QDir(QString::fromStdString(Settings.TempDir)).isEmpty());
}

} // namespace
