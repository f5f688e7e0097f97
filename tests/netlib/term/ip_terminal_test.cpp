#include "netlib/term/ip_term_emulator.h"
#include "netlib/term/ip_terminal.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <gtest/gtest.h>

namespace {

class TRecordingTerminal : public TIpCustomTerminal {
public:
    bool IsMasterTerminal() const override { return true; }
    void SendToHost(const char* data, int count) override { Sent.append(data, size_t(count)); }
    std::string Sent;
};

void Settle()
{
    QCoreApplication::processEvents();
}

// A terminal on the screen that records what it paints.
class TPaintRecorder : public TIpTerminal {
public:
    TPaintRecorder()
    {
        resize(81 * CellWidth(), 25 * CellHeight());
        show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(this));
    }
    // Lets received bytes reach the emulator and the lazy display paint them.
    void Paint()
    {
        Settle();
        tmBeat();
        tmBeat();
        Settle();
    }
    bool Painted(int col, int row) const
    {
        return FPainted.contains(QPoint((col - 1) * CellWidth() + 1, (row - 1) * CellHeight() + 1));
    }
    void Forget() { FPainted = {}; }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        FPainted += event->region();
        TIpTerminal::paintEvent(event);
    }

private:
    QRegion FPainted;
};

TEST(IpTerminal, NewControlDefaultsAndSetterRules)
{
    TIpTerminal t;
    EXPECT_EQ(t.Columns(), 80);
    EXPECT_EQ(t.Rows(), 24);
    EXPECT_EQ(t.ScrollbackRows(), 200);
    EXPECT_EQ(t.Color(), 0u);
    EXPECT_EQ(t.FontColor(), 0xC0C0C0u);
    EXPECT_EQ(t.font().family(), "Terminal");
    EXPECT_EQ(t.CursorType(), ctBlock);
    EXPECT_TRUE(t.UseLazyDisplay);
    EXPECT_EQ(t.Capture(), cmOff);
    EXPECT_EQ(t.CaptureFile(), "VOVEVUDA.CAP");
    EXPECT_EQ(t.Emulator(), nullptr);
    EXPECT_EQ(t.CurrentEmulator()->TelnetTermType, "dumb");
    t.SetBlinkTime(100);
    EXPECT_EQ(t.BlinkTime(), 250);
    t.SetBlinkTime(0);
    EXPECT_EQ(t.BlinkTime(), 0);
    t.SetLazyByteDelay(2000);
    EXPECT_EQ(t.LazyByteDelay(), 200);
    t.SetLazyTimeDelay(0);
    EXPECT_EQ(t.LazyTimeDelay(), 100);
    t.SetColumns(100);
    t.SetRows(30);
    EXPECT_EQ(t.TelnetTermSize(), (std::array<uint8_t, 4>{0, 100, 0, 30}));
}

TEST(IpTerminal, ReceivedBytesReachTheEmulatorAndAnEmulatorSwitchKeepsTheSize)
{
    TIpTerminal t;
    t.SetColumns(90);
    t.ReceiveData("hello\r\nworld");
    t.WriteString("!");
    EXPECT_EQ(t.Line(1).substr(0, 5), "     "); // not before the posted message
    Settle();
    EXPECT_EQ(t.Line(1).substr(0, 6), "hello ");
    EXPECT_EQ(t.Line(2).substr(0, 7), "world! ");
    EXPECT_EQ(t.Line(2).size(), 90u);

    auto* vt = new TIpVT100Emulator(&t);
    t.SetEmulator(vt);
    EXPECT_EQ(t.Emulator(), vt);
    EXPECT_EQ(vt->Terminal(), &t);
    EXPECT_EQ(t.Columns(), 90);
    t.SetLine(3, "set line");
    EXPECT_EQ(t.Line(3).substr(0, 9), "set line ");
    t.SetForeColor(3, 1, 0x0000FF);
    EXPECT_EQ(t.ForeColor(3, 1), 0x0000FFu);
    EXPECT_EQ(t.ForeColor(3, 1000), 0xFFFFFFu);
    delete vt;
    EXPECT_EQ(t.Emulator(), nullptr);
    EXPECT_EQ(t.CurrentEmulator()->TelnetTermType, "dumb");
}

TEST(IpTerminal, LazyDisplayWaitsForTheTimerUnlessTurnedOff)
{
    TIpTerminal t;
    t.ReceiveData("x");
    Settle();
    EXPECT_TRUE(t.CurrentEmulator()->Buffer()->HasDisplayChanged());
    t.tmBeat();
    t.tmBeat();
    EXPECT_FALSE(t.CurrentEmulator()->Buffer()->HasDisplayChanged());
    t.UseLazyDisplay = false;
    t.ReceiveData("y");
    Settle();
    EXPECT_FALSE(t.CurrentEmulator()->Buffer()->HasDisplayChanged());
}

TEST(IpTerminal, MouseSelectionCopiesRowsWithLineEnds)
{
    TIpTerminal t;
    t.resize(81 * t.CellWidth(), 25 * t.CellHeight());
    t.show();
    std::string text;
    for (int r = 1; r <= 4; ++r)
        text += std::string(80, char('a' + r)) + (r < 4 ? "\r\n" : "");
    t.ReceiveData(text);
    Settle();
    auto at = [&](int col, int row) {
        return QPoint((col - 1) * t.CellWidth() + 1, (row - 1) * t.CellHeight() + 1);
    };
    QTest::mousePress(&t, Qt::LeftButton, {}, at(70, 2));
    QTest::mouseMove(&t, at(5, 3));
    QMouseEvent move(QEvent::MouseMove, at(5, 3), t.mapToGlobal(at(5, 3)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&t, &move);
    QTest::mouseRelease(&t, Qt::LeftButton, {}, at(5, 3));
    EXPECT_TRUE(t.Attributes(2, 70) & IpAttr(tcaSelected));
    EXPECT_FALSE(t.Attributes(2, 69) & IpAttr(tcaSelected));
    const std::string expected = std::string(11, 'c') + "\r\n" + std::string(5, 'd') + "\r\n";
    EXPECT_EQ(t.SelectedText(), expected);
    QTest::keyClick(&t, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), expected);
    // Marked cells go along when the host scrolls them; hiding unmarks them there.
    for (int i = 0; i < 22; ++i)
        t.ReceiveData("\r\n");
    Settle();
    t.HideSelection();
    int marked = 0;
    for (int r = 1 - 176; r <= 24; ++r)
        for (int c = 1; c <= 80; ++c)
            marked += (t.Attributes(r, c) & IpAttr(tcaSelected)) != 0;
    EXPECT_EQ(marked, 0);
}

TEST(IpTerminal, KeypadKeysReachTheEmulatorAsWindowsKeyCodes)
{
    TRecordingTerminal t;
    TIpVT100Emulator vt;
    t.SetEmulator(&vt);
    QTest::keyClick(&t, Qt::Key_Enter, Qt::KeypadModifier); // keypad Enter: VK_EXECUTE
    QTest::keyClick(&t, Qt::Key_Home, Qt::KeypadModifier);  // keypad 7, NumLock off
    QTest::keyClick(&t, Qt::Key_Up);
    QTest::keyClick(&t, Qt::Key_Backspace);
    QTest::keyClick(&t, Qt::Key_Tab);
    QTest::keyClick(&t, Qt::Key_Q);
    EXPECT_EQ(t.Sent, "\r7\x1b[A\x7f\tq");
    t.Sent.clear();
    vt.ProcessString("\x1b=");
    QTest::keyClick(&t, Qt::Key_Home, Qt::KeypadModifier);
    EXPECT_EQ(t.Sent, "\x1bOw");
}

TEST(IpTerminal, CaptureAppendsOrStartsAfresh)
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/cap.txt";
    std::ofstream(path) << "old;";
    TIpTerminal t;
    t.SetCaptureFile(path);
    t.SetCapture(cmAppend);
    EXPECT_EQ(t.Capture(), cmOn);
    t.ReceiveData("new\r\n");
    Settle();
    auto content = [&] {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    EXPECT_EQ(content(), "old;new\r\n"); // at once, not when the capture ends
    t.SetCapture(cmOff);
    EXPECT_EQ(content(), "old;new\r\n");
    t.SetCapture(cmOn);
    t.SetCapture(cmOff);
    EXPECT_EQ(std::ifstream(path).peek(), EOF);
    t.SetCaptureFile(dir.path().toStdString() + "/missing/dir/cap");
    EXPECT_THROW(t.SetCapture(cmOn), EIpBaseException);
    EXPECT_EQ(t.Capture(), cmOff);
}

TEST(IpTerminal, PaintsCellColoursWithReverseAndBold)
{
    TIpTerminal t;
    auto* vt = new TIpVT100Emulator(&t);
    t.SetEmulator(vt);
    t.resize(81 * t.CellWidth(), 25 * t.CellHeight());
    t.ReceiveData("\x1b[41m \x1b[7;32m \x1b[0;1;44m \x1b[m");
    Settle();
    auto cells = [&] {
        const QImage shot = t.grab().toImage();
        std::vector<QColor> c;
        for (int col = 1; col <= 3; ++col)
            c.push_back(shot.pixelColor((col - 1) * t.CellWidth() + 1, 1));
        return c;
    };
    const QColor red(0x80, 0, 0), green(0, 0x80, 0), blue(0, 0, 0x80), silver(0xC0, 0xC0, 0xC0);
    EXPECT_EQ(cells(), (std::vector<QColor>{red, green, blue}));
    t.ReceiveData("\x1b[?5h"); // reverse screen swaps every cell back
    Settle();
    EXPECT_EQ(cells(), (std::vector<QColor>{silver, red, silver}));
}

TEST(IpTerminal, TheCaretIsRepaintedWhereItWasWhenOnlyTheCursorMoves)
{
    TPaintRecorder t;
    t.ReceiveData("abcd");
    t.Paint();
    t.Forget();
    t.ReceiveData("\b\b\b"); // nothing changes but the cursor: column 5 to 2
    t.Paint();
    EXPECT_TRUE(t.Painted(5, 1));
    EXPECT_TRUE(t.Painted(2, 1));
}

TEST(IpTerminal, ScrollingUpFromTheFirstRowOpensTheScrollback)
{
    TIpTerminal t;
    t.resize(81 * t.CellWidth(), 10 * t.CellHeight()); // the rows do not fit
    t.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&t));
    for (int i = 0; i < 40; ++i)
        t.ReceiveData("\r\n");
    Settle();
    QScrollBar* bar = nullptr;
    for (QScrollBar* b : t.findChildren<QScrollBar*>())
        if (b->orientation() == Qt::Vertical)
            bar = b;
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(t.ViewOriginRow(), 1);
    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_TRUE(t.Scrollback());
    EXPECT_EQ(t.ViewOriginRow(), 0);
    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_LT(t.ViewOriginRow(), -5);
}

TEST(IpTerminal, DoubleWidthRowsDrawAndRepaintTheirCellsTwiceAsWide)
{
    TPaintRecorder t;
    t.SetEmulator(new TIpVT100Emulator(&t));
    t.SetCursorType(ctNone);
    t.ReceiveData("\x1b#6M");
    t.Paint();
    // The M spreads over two columns.
    const QImage shot = t.grab().toImage();
    int inkRight = 0;
    for (int x = 0; x < 4 * t.CellWidth(); ++x)
        for (int y = 0; y < t.CellHeight(); ++y)
            if (shot.pixelColor(x, y) != Qt::black)
                inkRight = x;
    EXPECT_GT(inkRight, t.CellWidth() * 3 / 2);
    // Cell 30 of the row shows at columns 59 and 60.
    t.Forget();
    t.ReceiveData("\x1b[1;30HX");
    t.Paint();
    EXPECT_TRUE(t.Painted(59, 1));
    EXPECT_TRUE(t.Painted(60, 1));
}

} // namespace
