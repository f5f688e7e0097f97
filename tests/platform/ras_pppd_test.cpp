#include "platform/ras_pppd.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <chrono>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(PppdRas, CommandLineKeepsTheSecretsInTheOptionsFile)
{
    EXPECT_EQ(TPppdRas::CommandLine("/usr/sbin/pppd", "isp", "/tmp/d/options"),
              (std::vector<std::string>{"/usr/sbin/pppd", "call", "isp", "nodetach", "nopersist",
                                        "logfd", "1", "file", "/tmp/d/options"}));
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
                                  "fail) echo 'Connect script failed'; exit 8;;\n"
                                  "esac\n"
                                  "trap 'exit 5' TERM\n"
                                  "echo 'Serial connection established.'\n"
                                  "echo 'Connect: ppp0 <--> /dev/ttyS0'\n"
                                  "echo 'local  IP address 10.1.2.3'\n"
                                  "while :; do sleep 0.05; done\n";
        ::chmod(program.c_str(), 0755);
        Settings.Program = program;
        Settings.PeersDir = Root + "/peers";
        Settings.TempDir = Root + "/tmp";
    }

    QTemporaryDir Dir;
    std::string Root;
    TPppdRas::TSettings Settings;
};

TEST_F(PppdRasRunTest, PhoneBookIsThePeersDirectory)
{
    TPppdRas ras(Settings);
    EXPECT_TRUE(ras.Available());
    std::vector<std::string> names;
    EXPECT_EQ(ras.EnumEntries("", names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"fail", "isp"}));
    TRasDialParams params;
    params.EntryName = "isp";
    bool hasPassword = true;
    EXPECT_EQ(ras.GetEntryDialParams("", params, hasPassword), 0);
    EXPECT_EQ(params.UserName, "bob smith");
    EXPECT_FALSE(hasPassword);
    params.EntryName = "../isp";
    EXPECT_EQ(ras.GetEntryDialParams("", params, hasPassword), 623);
    EXPECT_EQ(ras.SetEntryDialParams("", params, false), 624);

    Settings.Program = Root + "/none";
    Settings.PeersDir = Root + "/none";
    TPppdRas missing(Settings);
    EXPECT_FALSE(missing.Available());
    EXPECT_EQ(missing.EnumEntries("", names), 0);
    EXPECT_TRUE(names.empty());
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
    ASSERT_EQ(ras.Dial(
                  "", params, [&](int s) { states.push_back(s); }, handle),
              0);
    ASSERT_NE(handle, 0u);
    EXPECT_FALSE(states.empty());

    const std::string args = ReadFile(Root + "/args");
    const std::string head =
        "call isp nodetach nopersist logfd 1 file " + Settings.TempDir + "/skipmail-ppp-";
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
    params.EntryName = "fail";
    EXPECT_EQ(ras.Dial("", params, nullptr, handle), RasCode::ERROR_NO_ANSWER);
    EXPECT_EQ(handle, 0u);
    params.EntryName = "nowhere";
    EXPECT_EQ(ras.Dial("", params, nullptr, handle), 623);
    params.EntryName = ".hidden";
    EXPECT_EQ(ras.Dial("", params, nullptr, handle), 623);
    EXPECT_TRUE(QDir(QString::fromStdString(Settings.TempDir)).isEmpty());

    // No thread to follow a started pppd: that pppd is ended, nothing listed.
    params.EntryName = "isp";
    FailNextSystemThreads(1);
    EXPECT_EQ(ras.Dial("", params, nullptr, handle), RasCode::ERROR_UNKNOWN);
    EXPECT_EQ(handle, 0u);
    std::vector<TRasConnection> connections;
    ras.EnumConnections(connections);
    EXPECT_TRUE(connections.empty());
    EXPECT_TRUE(QDir(QString::fromStdString(Settings.TempDir)).isEmpty());
}

} // namespace
