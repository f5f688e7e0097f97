// The chat window on two stations linked over the simulated sky.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QFileDialog>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "link/modem_frame.h"
#include "link/windows/chat_frm.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"
#include "window_helpers.h"

namespace {

std::string View(const TChatFrm& chat)
{
    return FromQt(chat.ReceiveBuffer->toPlainText());
}

// The colour of the view's text at `pos`.
QColor ColourAt(const TChatFrm& chat, int pos)
{
    QTextCursor c(chat.ReceiveBuffer->document());
    c.setPosition(pos + 1);
    return c.charFormat().foreground().color();
}

std::string LinkDataFrom(TSkyPty& sky, int modem)
{
    return sky.With(modem, [](TModemSimCore& m, TSimRadio&) { return m.linkData; });
}

TEST(Chat, TextAndRingsCrossTheLinkAndTheDisconnectIsShown)
{
    TTwoStations air;
    TChatFrm& home = *air.Home->Form->ChatFrm;
    TChatFrm& field = *air.Field->Form->ChatFrm;
    EXPECT_FALSE(home.SendBtn->isEnabled());
    EXPECT_FALSE(home.mnuBuzz->isEnabled());
    EXPECT_TRUE(home.TransmitBuffer->isReadOnly());
    EXPECT_EQ(FromQt(home.windowTitle()), "Not connected");
    ASSERT_TRUE(air.Link());
    EXPECT_FALSE(home.TransmitBuffer->isReadOnly());
    EXPECT_EQ(FromQt(field.windowTitle()), "Connected to: HOME");

    air.Home->Form->ChatBtnClick();
    ASSERT_TRUE(home.isVisible());
    field.ReceiveBuffer->setPlainText("an older conversation");
    home.TransmitBuffer->setPlainText("hi\tthere");
    home.SendBtn->click();
    EXPECT_EQ(View(home), "HOME: hi\tthere\n");
    EXPECT_EQ(ColourAt(home, 0), QColor(Qt::black));
    EXPECT_TRUE(home.TransmitBuffer->toPlainText().isEmpty());
    EXPECT_TRUE(PumpUntil([&] {
        return LinkDataFrom(air.Sky, 0).find("\x01\xB3hi\x01\xA9there\x02") != std::string::npos;
    }));
    // The hidden window opens for it, with the entry alone.
    ASSERT_TRUE(PumpUntil([&] { return field.isVisible(); }));
    EXPECT_EQ(View(field), "HOME: hi\tthere\n");
    EXPECT_EQ(ColourAt(field, 0), QColor(Qt::blue));

    // The operator there never opened the window, yet replies under the
    // station's own name.
    field.TransmitBuffer->setPlainText("ok");
    field.SendBtn->click();
    EXPECT_EQ(View(field), "HOME: hi\tthere\nFIELD: ok\n");
    ASSERT_TRUE(PumpUntil([&] { return View(home).find("FIELD: ok\n") != std::string::npos; }));

    // Refused: too much at once. The typed text stays to be sent again.
    const std::string longText(800, 'x');
    home.TransmitBuffer->setPlainText(ToQt(longText));
    home.SendBtn->click();
    EXPECT_NE(
        View(home).find("HOME: Chat Transmission Error. Send fewer characters or try again.\n"),
        std::string::npos);
    EXPECT_EQ(ColourAt(home, static_cast<int>(View(home).rfind("HOME: Chat"))), QColor(Qt::red));
    EXPECT_EQ(FromQt(home.TransmitBuffer->toPlainText()), longText);

    // A ring sounds on both stations.
    home.mnuBuzz->trigger();
    EXPECT_NE(View(home).find("RING!\n"), std::string::npos);
    EXPECT_TRUE(PumpUntil(
        [&] { return LinkDataFrom(air.Sky, 0).find("\x01\xB4\x10") != std::string::npos; }));
    ASSERT_TRUE(PumpUntil([&] { return air.Played.size() == 2; }));
    EXPECT_EQ(air.Played[0], "aplay " + air.Home->Root + "/doorbell.wav");
    EXPECT_EQ(air.Played[1], air.Played[0]);
    EXPECT_NE(View(field).find("RING!\n"), std::string::npos);

    field.Exit1->trigger();
    EXPECT_TRUE(field.isHidden());
    air.Home->Form->SendDisconnect();
    ASSERT_TRUE(
        PumpUntil([&] { return !home.SendBtn->isEnabled() && !field.SendBtn->isEnabled(); }));
    EXPECT_NE(View(home).find("Disconnected from FIELD\n"), std::string::npos);
    EXPECT_EQ(View(field).find("Disconnected"), std::string::npos);
    EXPECT_TRUE(home.TransmitBuffer->isReadOnly());
    EXPECT_TRUE(home.TransmitBuffer->toPlainText().isEmpty());
    EXPECT_EQ(FromQt(home.windowTitle()), "Not connected");
    EXPECT_EQ(FromQt(field.windowTitle()), "Not connected");

    // A call that never links was never connected to anyone.
    air.Sky.WithSky([](TSkyCore& sky) { sky.SetAnswering(1, false); });
    ASSERT_TRUE(air.Home->Form->CallStation("FIELD", 0, true));
    ASSERT_TRUE(PumpUntil(
        [&] { return air.Home->Log().find("Link to FIELD failed") != std::string::npos; }));
    QCoreApplication::processEvents(); // the chat window hears of it on its own turn
    EXPECT_EQ(View(home).find("Disconnected from FIELD\n"),
              View(home).rfind("Disconnected from FIELD\n"));
    EXPECT_EQ(FromQt(home.windowTitle()), "Not connected");
}

TEST(Chat, ACallerNotInTheStationTableIsNamedByItsId)
{
    TOneStation one;
    ASSERT_TRUE(one.Home.Ready());
    TChatFrm& chat = *one.Home.Form->ChatFrm;
    one.Sim.Send(TModemSimCore::Message(ModemFrame::kMsgIncoming, "0009") +
                 TModemSimCore::Message(ModemFrame::kMsgLinkUp, "0009"));
    ASSERT_TRUE(PumpUntil([&] { return chat.SendBtn->isEnabled(); }));
    EXPECT_EQ(FromQt(chat.windowTitle()), "Connected to: ID 0009");
}

// The shake lets messages run, rings from the link among them: a peer's
// flood of rings must not shake inside the shake, deeper and deeper.
TEST(Chat, RingsDuringAShakeDoNotNest)
{
    TOneStation one;
    TChatFrm& chat = *one.Home.Form->ChatFrm;
    chat.move(100, 100); // clear of the screen's edge, which stops a window
    chat.show();
    const QPoint rest = chat.pos();
    std::vector<int> offsets; // how far the window was out of place at each sound
    Shell::SetLauncher([&](const std::string&, const std::vector<std::string>&) {
        offsets.push_back((rest - chat.pos()).manhattanLength());
        return true;
    });
    for (int i = 0; i < 3; ++i)
        QMetaObject::invokeMethod(
            &chat, [&] { chat.Ring(); }, Qt::QueuedConnection);
    chat.Ring();
    Shell::SetLauncher({});
    ASSERT_EQ(offsets.size(), 4u);
    EXPECT_LE(*std::max_element(offsets.begin(), offsets.end()), 10) << "rings shook in a shake";
    EXPECT_EQ(chat.pos(), rest);
    EXPECT_EQ(View(chat), "RING!\nRING!\nRING!\nRING!\n");
}

TEST(Chat, SaveWritesTheViewAndReportsAFailure)
{
    TOneStation one;
    TChatFrm& chat = *one.Home.Form->ChatFrm;
    const std::string dir = one.Dir.path().toStdString();
    chat.ReceiveText("FIELD", "one");
    chat.ReceiveText("FIELD", "two");
    auto saveAs = [](const std::string& path) {
        return [path](QDialog& d) {
            EXPECT_TRUE(d.windowTitle().endsWith(" Keyboard Chat As"));
            EXPECT_EQ(static_cast<QFileDialog&>(d).defaultSuffix(), "txt");
            static_cast<QFileDialog&>(d).selectFile(ToQt(path));
            return static_cast<int>(QDialog::Accepted);
        };
    };
    const std::string file = dir + "/chat.txt";
    TScriptedDialogs dialogs;
    dialogs
        .ExpectDialog("QFileDialog", [](QDialog&) { return static_cast<int>(QDialog::Rejected); })
        .ExpectDialog("QFileDialog", saveAs(file))
        .ExpectDialog("QFileDialog", saveAs(dir + "/missing/chat.txt"))
        .ExpectBox("Unable to save the chat to:", IDOK);
    chat.Save1->trigger();
    EXPECT_FALSE(std::filesystem::exists(file));
    chat.Save1->trigger();
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "FIELD: one\r\nFIELD: two\r\n");
    chat.Save1->trigger();
    EXPECT_EQ(dialogs.Records().back().title, "Save Chat Error");
    chat.close();
}

} // namespace
