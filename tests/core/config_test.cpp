#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sys/stat.h>
#include <vector>

#include "core/config.h"
#include "core/core_report.h"
#include "core/password_codec.h"
#include "temp_root_helpers.h"

namespace {

// A mail and fax gateway's file as the store writes it.
const std::string kGatewayIni = "[GENERAL]\r\n"
                                "HIDEFREQ=TRUE\r\n"
                                "SOFTWAREVERSION=MAIL/FAX GATEWAY\r\n"
                                "\r\n"
                                "[ALE/VESKAR]\r\n"
                                "ENABLED=TRUE\r\n"
                                "PRIVATE=TRUE\r\n"
                                "BUSYCHANNELDETECT=FALSE\r\n"
                                "MODE=VESKAR\r\n"
                                "ATTEMPTS=5\r\n"
                                "DELAY=30\r\n"
                                "CALLLENGTH=111\r\n"
                                "MASK1=AB12\r\n"
                                "MASK2=cd\r\n"
                                "MASK3=\r\n"
                                "MASK4=WXYZextra\r\n"
                                "MASK5=\xE9\xFF"
                                "00\r\n"
                                "MASK6=9\r\n"
                                "\r\n"
                                "[MAIL]\r\n"
                                "MAXMAILSIZE=200\r\n"
                                "GATEWAY=HOME\r\n"
                                "\r\n"
                                "[FAX]\r\n"
                                "GATEWAY=HOME\r\n"
                                "\r\n"
                                "[POP3]\r\n"
                                "ENABLED=OFF\r\n"
                                "POP3PORT=1110\r\n"
                                "\r\n"
                                "[SMTP]\r\n"
                                "ENABLED=ON\r\n"
                                "SMTPPORT=2525\r\n"
                                "\r\n"
                                "[MODEM]\r\n"
                                "PORT=4\r\n"
                                "\r\n"
                                "[950]\r\n"
                                "TUNER=TRUE\r\n"
                                "RESUMESCAN=2\r\n"
                                "\r\n"
                                "[MAILBOX]\r\n"
                                "PASS=46362616\r\n"
                                "\r\n"
                                "[STATION]\r\n"
                                "PASS=7363534333231303\r\n"
                                "\r\n"
                                "[GATEWAY]\r\n"
                                "PASS=\r\n"
                                "SMTPADDRESS=smtp.example.org\r\n"
                                "SMTPMAILFROM=station@example.org\r\n"
                                "SMTPAUTHENABLED=FALSE\r\n"
                                "SMTPEHLOAUTHENABLED=TRUE\r\n"
                                "SMTPAUTHUSER=station\r\n"
                                "SMTPAUTHPASS=A3F3\r\n"
                                "CHECKMAILINTERVALENABLED=TRUE\r\n"
                                "CHECKMAILINTERVAL=30\r\n"
                                "DELIVERMAILIMMEDIATELY=1\r\n"
                                "DIALUPENABLED=FALSE\r\n"
                                "DIALUPCONNECTION=ISP\r\n"
                                "DIALUPLOGINNAME=me\r\n"
                                "DIALUPPASSWORD=46362616\r\n"
                                "MAXMAILFILTERSIZE=1024000\r\n"
                                "RETURNERRORENABLED=FALSE\r\n"
                                "MAILSERVERSCHEDULEDLINK1=0.375\r\n"
                                "MAILSERVERSCHEDULEDLINK1ENABLED=ENABLED\r\n"
                                "MAILSERVERSCHEDULEDLINK2=0.00347222222222222\r\n"
                                "MAILSERVERSCHEDULEDLINK2ENABLED=DISABLED\r\n"
                                "MAILSERVERSCHEDULEDLINK3=45266.5625\r\n"
                                "MAILSERVERSCHEDULEDLINK3ENABLED=ENABLED\r\n"
                                "MAILSERVERSCHEDULEDLINK4=0\r\n"
                                "MAILSERVERSCHEDULEDLINK4ENABLED=DISABLED\r\n"
                                "\r\n"
                                "[FAXMODEM]\r\n"
                                "PORT=5\r\n"
                                "INIT=AT&F\r\n"
                                "PREFIX=9,\r\n"
                                "RETRY=4\r\n"
                                "RETRYDELAY=15\r\n"
                                "DIALTONE=Pulse\r\n"
                                "\r\n"
                                "[FAXRECEIVE]\r\n"
                                "FORWARDENABLED=TRUE\r\n"
                                "PRINTENABLED=FALSE\r\n"
                                "RECEIVEENABLED=TRUE\r\n"
                                "FORWARDADDRESS=ops@HOME\r\n"
                                "NUMRINGS=2\r\n"
                                "\r\n"
                                "[RADIO]\r\n"
                                "TYPE=BARRETT 950\r\n";

} // namespace

TEST(Config, NewRemoteStationGetsWorkingDefaultsAndNoGatewaySections)
{
    TempRoot root;
    {
        TConfig config;
        EXPECT_EQ(config.FileName(), root.Path("skipmail.INI"));
        EXPECT_EQ(config.General.Role, TStationRole::Remote);
        EXPECT_TRUE(config.Smtp.Enabled);
        EXPECT_EQ(config.Smtp.Port, 25);
        EXPECT_TRUE(config.Pop3.Enabled);
        EXPECT_EQ(config.Pop3.Port, 110);
        EXPECT_EQ(config.Radio.Type, "NONE");
        EXPECT_EQ(config.Modem.Port, 1);
        EXPECT_EQ(config.FaxModem.Port, 3);
        EXPECT_EQ(config.FaxModem.Retry, 3);
        EXPECT_EQ(config.FaxModem.RetryDelay, 10);
        EXPECT_EQ(config.FaxModem.DialTone, "Tone");
        EXPECT_EQ(config.FaxReceive.NumRings, 3);
        EXPECT_EQ(config.FaxReceive.ForwardAddress, "admin");
        EXPECT_EQ(config.Gateway.MaxMailFilterSize, 512000);
        EXPECT_TRUE(config.Gateway.ReturnErrorEnabled);
        EXPECT_EQ(config.PrivateNetworkCode, 0);
        EXPECT_TRUE(config.Save());
    }
    std::string text = root.ReadFile("skipmail.INI");
    EXPECT_NE(text.find("[SMTP]\r\nENABLED=ON\r\nSMTPPORT=25\r\n"), std::string::npos);
    EXPECT_NE(text.find("[RADIO]\r\nTYPE=NONE\r\n"), std::string::npos);
    EXPECT_NE(text.find("SOFTWAREVERSION=REMOTE\r\n"), std::string::npos);
    EXPECT_EQ(text.find("[GATEWAY]"), std::string::npos);
    EXPECT_EQ(text.find("[FAXMODEM]"), std::string::npos);
    EXPECT_EQ(text.find("[FAXRECEIVE]"), std::string::npos);
}

TEST(Config, GoldenGatewayFileLoadsAndSavesBackByteForByte)
{
    TempRoot root;
    root.WriteFile("skipmail.INI", kGatewayIni);
    {
        TConfig config;
        EXPECT_EQ(config.General.Role, TStationRole::MailFaxGateway);
        EXPECT_TRUE(config.General.HideFreq);
        EXPECT_EQ(config.Mailbox.Pass, "abcd");
        EXPECT_EQ(config.Station.Pass, "01234567");
        EXPECT_EQ(config.Gateway.Pass, "");
        EXPECT_EQ(config.Gateway.SmtpAuthPass, "?:");
        EXPECT_EQ(config.Gateway.DialupPassword, "abcd");
        EXPECT_FALSE(config.Pop3.Enabled);
        EXPECT_EQ(config.Pop3.Port, 1110);
        EXPECT_EQ(config.Gateway.DeliverMailImmediately, 1);
        EXPECT_EQ(config.Gateway.MaxMailFilterSize, 1024000);
        EXPECT_FALSE(config.Gateway.ReturnErrorEnabled);
        EXPECT_EQ(DateTime::FormatTimeOfDay(config.Gateway.MailServerScheduledLink[0]), "09:00");
        EXPECT_EQ(DateTime::FormatTimeOfDay(config.Gateway.MailServerScheduledLink[1]), "00:05");
        EXPECT_EQ(DateTime::FormatTimeOfDay(config.Gateway.MailServerScheduledLink[2]), "13:30");
        EXPECT_TRUE(config.Gateway.MailServerScheduledLinkEnabled[0]);
        EXPECT_FALSE(config.Gateway.MailServerScheduledLinkEnabled[1]);
        EXPECT_EQ(config.FaxModem.Prefix, "9,");
        EXPECT_EQ(config.FaxReceive.ForwardAddress, "ops@HOME");
        EXPECT_EQ(config.Radio950.ResumeScan, "2");
        EXPECT_EQ(config.Radio.Type, "BARRETT 950");
        EXPECT_EQ(config.AleVeskar.Mask[3], "WXYZextra");
        // From the first four characters of each mask, signed bytes included.
        EXPECT_EQ(config.PrivateNetworkCode, 14747);
        EXPECT_TRUE(config.Save());
        EXPECT_EQ(root.ReadFile("skipmail.INI"), kGatewayIni);
    }
    EXPECT_EQ(root.ReadFile("skipmail.INI"), kGatewayIni);
}

TEST(Config, RoleDecidesWhichSectionsAreWritten)
{
    TempRoot root;
    std::string ini = kGatewayIni;
    ini.replace(ini.find("MAIL/FAX GATEWAY"), 16, "MAIL GATEWAY");
    root.WriteFile("skipmail.INI", ini);
    TConfig config;
    EXPECT_EQ(config.General.Role, TStationRole::MailGateway);
    config.Gateway.SmtpAddress = "new.example.org";
    config.FaxModem.Port = 9; // not written on a mail gateway
    config.Save();
    std::string text = root.ReadFile("skipmail.INI");
    EXPECT_NE(text.find("SMTPADDRESS=new.example.org\r\n"), std::string::npos);
    EXPECT_NE(text.find("[FAXMODEM]\r\nPORT=5\r\n"), std::string::npos);

    config.General.Role = TStationRole::Remote;
    config.Gateway.SmtpAddress = "other.example.org";
    config.Save();
    text = root.ReadFile("skipmail.INI");
    EXPECT_NE(text.find("SOFTWAREVERSION=REMOTE\r\n"), std::string::npos);
    EXPECT_NE(text.find("SMTPADDRESS=new.example.org\r\n"), std::string::npos);
}

TEST(Config, PrivateNetworkCodeIsComputedAtLoadAndNeverStored)
{
    TempRoot root;
    {
        TConfig config;
        config.AleVeskar.Private = true;
        config.UpdatePrivateNetworkCode();
        EXPECT_EQ(config.PrivateNetworkCode, 48186); // six "Zq4v"
    }
    std::string text = root.ReadFile("skipmail.INI");
    EXPECT_EQ(text.find("48186"), std::string::npos);
    TConfig reloaded; // a restart keeps the code
    EXPECT_EQ(reloaded.PrivateNetworkCode, 48186);
    reloaded.AleVeskar.Private = false;
    reloaded.UpdatePrivateNetworkCode();
    EXPECT_EQ(reloaded.PrivateNetworkCode, 0);
}

TEST(Config, OddStoredValuesFallBackToDefaults)
{
    TempRoot root;
    root.WriteFile("skipmail.INI", "[POP3]\nENABLED=maybe\nPOP3PORT=abc\n"
                                   "[SMTP]\nENABLED=off\n"
                                   "[GENERAL]\nHIDEFREQ=true\nSOFTWAREVERSION=mail gateway\n"
                                   "[GATEWAY]\nMAILSERVERSCHEDULEDLINK1=07:45\n"
                                   "MAILSERVERSCHEDULEDLINK2=later\nSMTPAUTHPASS=XYZ\n");
    TConfig config;
    EXPECT_TRUE(config.Pop3.Enabled);
    EXPECT_EQ(config.Pop3.Port, 110);
    EXPECT_FALSE(config.Smtp.Enabled);
    EXPECT_TRUE(config.General.HideFreq);
    EXPECT_EQ(config.General.Role, TStationRole::MailGateway);
    EXPECT_EQ(DateTime::FormatTimeOfDay(config.Gateway.MailServerScheduledLink[0]), "07:45");
    EXPECT_EQ(config.Gateway.MailServerScheduledLink[1], 0);
    EXPECT_EQ(config.Gateway.SmtpAuthPass, "");
}

TEST(Config, AFailedSaveIsReportedWithoutHoldingTheSettings)
{
    TempRoot root;
    // A directory where the file belongs makes the save fail.
    ASSERT_EQ(::mkdir(root.Path("skipmail.INI").c_str(), 0755), 0);
    TConfig config;
    TReportProbe probe([&] {
        auto lock = config.Lock();
        (void)config.Pop3.Port;
    });
    EXPECT_FALSE(config.Save());
    ASSERT_EQ(probe.Reports.size(), 1u);
    EXPECT_EQ(probe.Reports[0].rfind("Error Saving skipmail.INI\n", 0), 0u) << probe.Reports[0];
    EXPECT_TRUE(probe.ProbeFinished);
    ASSERT_EQ(::rmdir(root.Path("skipmail.INI").c_str()), 0);
}

TEST(Config, AFileThatCannotBeReadIsReportedAndKept)
{
    TempRoot root;
    ASSERT_EQ(::symlink("skipmail.INI", root.Path("skipmail.INI").c_str()), 0);
    TReportProbe probe([] {});
    {
        TConfig config;
        ASSERT_EQ(probe.Reports.size(), 1u);
        EXPECT_EQ(probe.Reports[0].rfind("Error Reading skipmail.INI\n", 0), 0u)
            << probe.Reports[0];
        EXPECT_EQ(config.Smtp.Port, 25); // the defaults
        EXPECT_FALSE(config.Save());
    }
    EXPECT_EQ(probe.Reports.size(), 3u);
    struct stat st;
    ASSERT_EQ(::lstat(root.Path("skipmail.INI").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// A stored password that does not decode is unknown, not empty: nothing logs
// in against it, it is logged once, and saves keep it until a new one is set.
TEST(Config, APasswordThatDoesNotDecodeOpensNothingAndIsKept)
{
    TempRoot root;
    TLogProbe log;
    root.WriteFile("skipmail.INI", "[STATION]\r\nPASS=ZZZZ\r\n[MAILBOX]\r\nPASS=26F62\r\n");
    TConfig config;
    EXPECT_EQ(config.LoginPassword(config.Station.Pass), std::nullopt);
    EXPECT_EQ(config.LoginPassword(config.Mailbox.Pass), std::nullopt);
    EXPECT_EQ(config.LoginPassword(config.Gateway.Pass), ""); // none stored: none asked
    EXPECT_EQ(log.With("PASS cannot be read").size(), 2u);
    EXPECT_TRUE(log.With("not understood").empty());
    EXPECT_TRUE(config.Save());
    std::string text = root.ReadFile("skipmail.INI");
    EXPECT_NE(text.find("[STATION]\r\nPASS=ZZZZ\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[MAILBOX]\r\nPASS=26F62\r\n"), std::string::npos) << text;
    config.Station.Pass = "abcd";
    EXPECT_EQ(config.LoginPassword(config.Station.Pass), "abcd");
    EXPECT_TRUE(config.Save());
    text = root.ReadFile("skipmail.INI");
    EXPECT_NE(text.find("[STATION]\r\nPASS=46362616\r\n"), std::string::npos) << text;
}

// Lines that are no INI line are logged by number, and the file as it was is
// copied beside it before the first save; an older copy of other bytes stays.
TEST(Config, ACorruptFileIsLoggedAndCopiedBeforeItIsSavedOver)
{
    TempRoot root;
    TLogProbe log;
    const std::string corrupt = std::string("[SMTP]\r\nSMTPPORT=2525\r\nsmtp port 2525\r\n") +
                                std::string("\0\x01\xFF\x02=", 5) + "\r\n[POP3]\nPOP3PORT=2110";
    root.WriteFile("skipmail.INI", corrupt);
    root.WriteFile("skipmail.INI.bad", "an older copy");
    {
        TConfig config;
        EXPECT_EQ(config.Smtp.Port, 2525);
        EXPECT_EQ(config.Pop3.Port, 2110);
        EXPECT_EQ(log.With("is not understood"),
                  (std::vector<std::string>{"skipmail.INI line 3 is not understood: smtp port 2525",
                                            "skipmail.INI line 4 is not understood: ??\xFF?="}));
        EXPECT_EQ(log.With(root.Path("skipmail.INI.bad.1")).size(), 1u);
        EXPECT_TRUE(config.Save());
    }
    EXPECT_EQ(root.ReadFile("skipmail.INI.bad"), "an older copy");
    EXPECT_EQ(root.ReadFile("skipmail.INI.bad.1"), corrupt);
    struct stat st;
    ASSERT_EQ(::stat(root.Path("skipmail.INI.bad.1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The saved file keeps the lines as they were; a copy of it is made once.
    const std::string saved = root.ReadFile("skipmail.INI");
    EXPECT_NE(saved.find("\r\nsmtp port 2525\r\n"), std::string::npos);
    {
        TConfig again;
    }
    {
        TConfig third;
    }
    EXPECT_EQ(root.ReadFile("skipmail.INI.bad.2"), saved);
    EXPECT_FALSE(root.Exists("skipmail.INI.bad.3"));

    // Unknown keys, comments and blank lines are no corruption.
    log.Lines.clear();
    root.WriteFile("skipmail.INI", "; note\r\n# note\r\n\r\n[NEW]\r\nKEY=1\r\n");
    {
        TConfig fine;
    }
    EXPECT_TRUE(log.Lines.empty());
    EXPECT_FALSE(root.Exists("skipmail.INI.bad.3"));
}

// A key whose value is not of its setting's kind (a port with a comma, a
// switch word of another form, a misspelt role) is a line not understood as
// well: the setting takes its default, and the operator's value is logged
// and kept in the copy before a save writes the default over it.
TEST(Config, AValueNotOfItsKindIsLoggedAndCopiedBeforeItIsSavedOver)
{
    TempRoot root;
    TLogProbe log;
    const std::string ini = "[SMTP]\r\nSMTPPORT=2,525\r\nENABLED=maybe\r\n[POP3]\r\n"
                            "POP3PORT = \"2110\"\r\nENABLED=\r\n[GENERAL]\r\n"
                            "SOFTWAREVERSION=mail gatway\r\n[MAIL]\r\nMAXMAILSIZE=0x40\r\n";
    root.WriteFile("skipmail.INI", ini);
    {
        TConfig config;
        EXPECT_EQ(config.Smtp.Port, 25);
        EXPECT_EQ(config.Pop3.Port, 2110);
        EXPECT_EQ(config.Mail.MaxMailSize, 50); // numbers are decimal
        EXPECT_EQ(config.General.Role, TStationRole::Remote);
        EXPECT_EQ(log.With("is not understood"),
                  (std::vector<std::string>{
                      "skipmail.INI line 2 is not understood: SMTPPORT=2,525",
                      "skipmail.INI line 3 is not understood: ENABLED=maybe",
                      "skipmail.INI line 8 is not understood: SOFTWAREVERSION=mail gatway",
                      "skipmail.INI line 10 is not understood: MAXMAILSIZE=0x40"}));
        EXPECT_EQ(log.With(root.Path("skipmail.INI.bad")).size(), 1u);
        EXPECT_TRUE(config.Save());
    }
    EXPECT_EQ(root.ReadFile("skipmail.INI.bad"), ini);
    EXPECT_NE(root.ReadFile("skipmail.INI").find("SMTPPORT=25\r\n"), std::string::npos);

    // Saved, the file reads without a word.
    log.Lines.clear();
    {
        TConfig again;
    }
    EXPECT_TRUE(log.With("is not understood").empty());
}

// A number is read as the decimal it is written as, and one outside its
// setting's range is a line not understood: it takes the default (never a
// wrapped or cut value) and is kept in the copy.
TEST(Config, NumbersAreDecimalAndOutOfRangeValuesAreNotUnderstood)
{
    struct {
        const char* section;
        const char* line;
        bool understood;
    } const cases[] = {
        {"SMTP", "SMTPPORT=99844", false},
        {"SMTP", "SMTPPORT=034310", true},
        {"SMTP", "SMTPPORT=65535", true},
        {"POP3", "POP3PORT=0", false},
        {"POP3", "POP3PORT=-110", false},
        {"MODEM", "PORT=256", false},
        {"MODEM", "PORT=255", true},
        {"ALE/VESKAR", "ATTEMPTS=0", false},
        {"ALE/VESKAR", "ATTEMPTS=100", true},
        {"ALE/VESKAR", "DELAY=241", false},
        {"ALE/VESKAR", "DELAY=5", true},
        {"ALE/VESKAR", "CALLLENGTH=60", false},
        {"ALE/VESKAR", "CALLLENGTH=221", true},
        {"MAIL", "MAXMAILSIZE=10000", false},
        {"MAIL", "MAXMAILSIZE=0", true},
        {"GATEWAY", "CHECKMAILINTERVAL=0", false},
        {"GATEWAY", "CHECKMAILINTERVAL=2880", true},
        {"GATEWAY", "DELIVERMAILIMMEDIATELY=2", false},
        {"GATEWAY", "MAXMAILFILTERSIZE=-1", false},
        {"FAXMODEM", "PORT=65537", false},
    };
    for (const auto& c : cases) {
        TempRoot root;
        TLogProbe log;
        const std::string ini = "[GENERAL]\r\nSOFTWAREVERSION=MAIL/FAX GATEWAY\r\n[" +
                                std::string(c.section) + "]\r\n" + c.line + "\r\n";
        root.WriteFile("skipmail.INI", ini);
        {
            TConfig config;
            const std::vector<std::string> expected =
                c.understood ? std::vector<std::string>{}
                             : std::vector<std::string>{"skipmail.INI line 4 is not understood: " +
                                                        std::string(c.line)};
            EXPECT_EQ(log.With("is not understood"), expected) << c.line;
            EXPECT_EQ(root.Exists("skipmail.INI.bad"), !c.understood) << c.line;
        }
    }

    // The values themselves.
    TempRoot root;
    root.WriteFile("skipmail.INI", "[SMTP]\r\nSMTPPORT=99844\r\n[POP3]\r\nPOP3PORT=034310\r\n");
    TConfig config;
    EXPECT_EQ(config.Smtp.Port, 25);
    EXPECT_EQ(config.Pop3.Port, 34310);
    EXPECT_TRUE(config.Save());
    const std::string saved = root.ReadFile("skipmail.INI");
    EXPECT_NE(saved.find("SMTPPORT=25\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("POP3PORT=34310\r\n"), std::string::npos) << saved;
    EXPECT_EQ(root.ReadFile("skipmail.INI.bad"),
              "[SMTP]\r\nSMTPPORT=99844\r\n[POP3]\r\nPOP3PORT=034310\r\n");
}

// A header without its bracket, a run of brackets and a second section of
// one name are lines not understood: the keys under them are taken for no
// section, and the file keeps them as they were.
TEST(Config, BrokenAndRepeatedSectionsAreNotUnderstood)
{
    TempRoot root;
    TLogProbe log;
    const std::string ini = "[MAIL]\r\nMAXMAILSIZE=200\r\n[SMTP\r\nSMTPPORT=2525\r\n"
                            "ENABLED=OFF\r\n[[[\r\n[MAIL]\r\nGATEWAY=FIELD\r\n";
    root.WriteFile("skipmail.INI", ini);
    {
        TConfig config;
        EXPECT_EQ(config.Mail.MaxMailSize, 200);
        EXPECT_EQ(config.Mail.Gateway, "");
        EXPECT_EQ(config.Smtp.Port, 25);
        EXPECT_TRUE(config.Smtp.Enabled);
        EXPECT_EQ(log.With("is not understood"),
                  (std::vector<std::string>{"skipmail.INI line 3 is not understood: [SMTP",
                                            "skipmail.INI line 6 is not understood: [[[",
                                            "skipmail.INI line 7 is not understood: [MAIL]"}));
        EXPECT_TRUE(config.Save());
    }
    EXPECT_EQ(root.ReadFile("skipmail.INI.bad"), ini);
    const std::string saved = root.ReadFile("skipmail.INI");
    EXPECT_EQ(saved.find("[SMTP]"), saved.rfind("[SMTP]")) << saved;
    EXPECT_NE(saved.find("[SMTP\r\nSMTPPORT=2525\r\nENABLED=OFF\r\n[[[\r\n[MAIL]\r\n"
                         "GATEWAY=FIELD\r\n"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("[SMTP]\r\nENABLED=ON\r\nSMTPPORT=25\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("[MAIL]\r\nMAXMAILSIZE=200\r\nGATEWAY=\r\n"), std::string::npos) << saved;
}
