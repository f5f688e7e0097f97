#include "netlib/ras/ip_ras.h"
#include "netlib/ras/ip_ras_status.h"
#include "support/scripted_ras.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace {

class IpRasStatusTest : public testing::Test {
protected:
    void SetUp() override
    {
        Ras.Entries = {"Office"};
        Dialer = new TIpRasDialer(&Form);
        Display = new TIpRasStatus(&Form);
    }

    std::string Caption() const
    {
        return Display->DisplayForm() ? Display->DisplayForm()->windowTitle().toStdString() : "";
    }
    std::string Panel() const
    {
        return Display->DisplayForm() ? Display->DisplayForm()->Panel1->text().toStdString() : "";
    }

    TScriptedRas Ras;
    QObject Form;
    TIpRasDialer* Dialer = nullptr;
    TIpRasStatus* Display = nullptr;
};

TEST_F(IpRasStatusTest, ShowsTheDialAndClosesWhenConnected)
{
    EXPECT_EQ(Dialer->StatusDisplay(), Display);
    EXPECT_EQ(Display->RasDialer(), Dialer);
    Ras.Outcomes["Office"].States = {2};
    Ras.Outcomes["Office"].DialMs = 300;
    Dialer->SetEntryName("Office");
    Dialer->SetPhoneNumber("5551234");
    std::vector<std::string> seen;
    Dialer->OnDialStatus = [&](QObject*, int) { seen.push_back(Caption() + "|" + Panel()); };
    bool connected = false;
    Dialer->OnConnected = [&](QObject*) { connected = true; };
    ASSERT_EQ(Dialer->Dial(), 0);
    EXPECT_EQ(Caption(), "Connecting to Office...");
    ASSERT_TRUE(QTest::qWaitFor([&] { return connected; }, 3000));
    EXPECT_EQ(seen, (std::vector<std::string>{"Connecting to Office...|Dialing 5551234"}));
    EXPECT_EQ(Display->DisplayForm(), nullptr);
}

TEST_F(IpRasStatusTest, OpenFormIsLeftAloneAndClosedFormIgnoresCalls)
{
    Display->UpdateDisplay("nothing open");
    Display->DestroyDisplay();
    EXPECT_EQ(Display->DisplayForm(), nullptr);
    Display->CreateDisplay("First");
    Display->UpdateDisplay("Port opened");
    Display->CreateDisplay("Second");
    EXPECT_EQ(Caption(), "Connecting to First...");
    EXPECT_EQ(Panel(), "Port opened");
    Display->DestroyDisplay();
    EXPECT_EQ(Display->DisplayForm(), nullptr);
}

TEST_F(IpRasStatusTest, CancelHangsUpAfterTheClickAndTheHangupCloses)
{
    Ras.Outcomes["Office"].DialMs = 10000;
    Dialer->SetEntryName("Office");
    ASSERT_EQ(Dialer->Dial(), 0);
    ASSERT_TRUE(Ras.WaitForDialling("Office", 3000));
    QCoreApplication::processEvents();
    ASSERT_NE(Display->DisplayForm(), nullptr);
    Display->DisplayForm()->CancelBtn->click();
    EXPECT_NE(Display->DisplayForm(), nullptr); // the hang-up is posted
    bool hungUp = false;
    Dialer->OnDisconnected = [&](QObject*) { hungUp = true; };
    ASSERT_TRUE(QTest::qWaitFor([&] { return hungUp; }, 3000));
    EXPECT_EQ(Display->DisplayForm(), nullptr);
}

TEST_F(IpRasStatusTest, ADialErrorStaysReadableBeforeTheFormCloses)
{
    Dialer->SetDialMode(dmSync);
    Dialer->ErrorDisplayMs = 300;
    Ras.Outcomes["Office"].Result = RasCode::ERROR_NO_ANSWER;
    Dialer->SetEntryName("Office");
    EXPECT_EQ(Dialer->Dial(), 678);
    EXPECT_EQ(Panel(), "The remote computer did not answer.");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Display->DisplayForm() == nullptr; }, 3000));

    // A new dial does not wait for the old error to go.
    Dialer->ErrorDisplayMs = 60000;
    EXPECT_EQ(Dialer->Dial(), 678);
    Ras.Outcomes["Office"].Result = 0;
    Ras.Outcomes["Office"].States = {};
    EXPECT_EQ(Dialer->Dial(), 0);
    EXPECT_EQ(Display->DisplayForm(), nullptr);
}

TEST_F(IpRasStatusTest, AFreedDisplayLeavesTheDialerWithout)
{
    delete Display;
    EXPECT_EQ(Dialer->StatusDisplay(), nullptr);
    Dialer->SetDialMode(dmSync);
    Dialer->SetEntryName("Office");
    EXPECT_EQ(Dialer->Dial(), 0);
    Dialer->Hangup();
}

} // namespace
