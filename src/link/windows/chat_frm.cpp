#include "link/windows/chat_frm.h"

#include <QApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QShowEvent>
#include <QSplitter>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

#include <exception>

#include "core/jpeg_picture.h"
#include "link/link_ctrl_frm.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace {

constexpr uint8_t kRingCode = 16;
constexpr int kShakes = 20;
constexpr int kShakePixels = 5;
constexpr const char* kLinkedTitle = "Connected to: ";
constexpr const char* kUnlinkedTitle = "Not connected";

} // namespace

TChatFrm::TChatFrm(TLinkCtrlFrm& link)
    : QMainWindow(nullptr, Qt::Window | Qt::WindowStaysOnTopHint), ReceiveBuffer(new QTextEdit),
      TransmitBuffer(new QTextEdit), SendBtn(new QPushButton("&Send")),
      DummyBtn(new QPushButton("DummyBtn")), Image1(nullptr), FLink(link)
{
    setWindowTitle(kUnlinkedTitle);
    ReceiveBuffer->setReadOnly(true);
    ReceiveBuffer->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ReceiveBuffer->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    TransmitBuffer->setReadOnly(true);
    TransmitBuffer->setAcceptRichText(false);
    SendBtn->setToolTip("Click Here to Send Text");
    SendBtn->setEnabled(false);
    DummyBtn->hide();

    auto* bottom = new QWidget;
    Image1 = new QLabel(bottom);
    const QImage& picture = StationPicture();
    if (!picture.isNull())
        Image1->setPixmap(QPixmap::fromImage(picture.scaledToHeight(48, Qt::SmoothTransformation)));
    auto* side = new QVBoxLayout;
    side->addWidget(SendBtn);
    side->addWidget(DummyBtn);
    side->addWidget(Image1);
    side->addStretch();
    auto* panel = new QHBoxLayout(bottom);
    panel->setContentsMargins(0, 0, 0, 0);
    panel->addWidget(TransmitBuffer, 1);
    panel->addLayout(side);
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(ReceiveBuffer);
    split->addWidget(bottom);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    setCentralWidget(split);
    resize(480, 360);

    File1 = menuBar()->addMenu("&File");
    Save1 = File1->addAction("S&ave Chat");
    File1->addSeparator();
    Exit1 = File1->addAction("E&xit");
    Options1 = menuBar()->addMenu("&Options");
    SendonEnter1 = Options1->addAction("&Send on Enter");
    Options1->menuAction()->setVisible(false);
    mnuBuzz = menuBar()->addAction("&Ring");
    mnuBuzz->setEnabled(false);

    connect(SendBtn, &QPushButton::clicked, this, [this] { SendBtnClick(); });
    connect(Save1, &QAction::triggered, this, [this] { Save1Click(); });
    connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(); });
    connect(mnuBuzz, &QAction::triggered, this, [this] { mnuBuzzClick(); });
}

void TChatFrm::showEvent(QShowEvent* event)
{
    if (!event->spontaneous())
        FormShow();
    QMainWindow::showEvent(event);
}

void TChatFrm::FormShow()
{
    ClearViews();
    TransmitBuffer->setFocus();
}

void TChatFrm::ClearViews()
{
    ReceiveBuffer->clear();
    TransmitBuffer->clear();
}

void TChatFrm::SetOwnName(const std::string& name)
{
    FOwnName = name;
}

void TChatFrm::LinkUp(const std::string& peerName)
{
    FPeerName = peerName;
    setWindowTitle(ToQt(kLinkedTitle + peerName));
}

void TChatFrm::SetLinked(bool linked)
{
    SendBtn->setEnabled(linked);
    mnuBuzz->setEnabled(linked);
    if (linked) {
        ClearViews();
    } else {
        TransmitBuffer->clear();
    }
    TransmitBuffer->setReadOnly(!linked);
    if (!linked)
        setWindowTitle(kUnlinkedTitle);
}

void TChatFrm::Append(const std::string& text, const QColor& colour)
{
    QTextCursor cursor = ReceiveBuffer->textCursor();
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(colour);
    cursor.insertText(ToQt(text), format);
    ReceiveBuffer->setTextCursor(cursor);
    ReceiveBuffer->ensureCursorVisible();
}

void TChatFrm::SendBtnClick()
{
    const std::string text = FromQt(TransmitBuffer->toPlainText());
    if (FLink.SendChatText(text)) {
        Append(FOwnName + ": " + text + "\n", Qt::black);
        TransmitBuffer->clear();
    } else {
        // The typed text stays, to be sent again or shortened.
        Append(FOwnName + ": Chat Transmission Error. Send fewer characters or try again.\n",
               Qt::red);
    }
    TransmitBuffer->setFocus();
}

void TChatFrm::ReceiveText(const std::string& name, const std::string& text)
{
    if (isHidden())
        show();
    const QString all = ReceiveBuffer->toPlainText();
    if (ReceiveBuffer->document()->blockCount() > 1 && !all.endsWith('\n'))
        Append("\n", Qt::blue);
    std::string shown;
    for (char c : text)
        if (c != '\r')
            shown += c;
    Append(name + ": " + shown + "\n", Qt::blue);
}

void TChatFrm::Ring()
{
    if (isHidden())
        show();
    Append("RING!\n", Qt::red);
    Shell::PlaySoundAsync(DataRoot::Path("doorbell.wav"));
    // The shake lets messages run: a ring they bring (a peer may send a
    // flood) rings without shaking inside this shake.
    if (FShaking)
        return;
    const QScopedValueRollback<bool> shaking(FShaking, true);
    for (int i = 0; i < kShakes; ++i) {
        for (int step : {-kShakePixels, kShakePixels}) {
            move(pos() + QPoint(step, step));
            repaint();
            QApplication::processEvents();
        }
    }
    ReceiveBuffer->ensureCursorVisible();
}

void TChatFrm::mnuBuzzClick()
{
    FLink.SendBuzz(kRingCode);
    Ring();
}

void TChatFrm::ShowDisconnected()
{
    if (isVisible() && !FPeerName.empty() && ReceiveBuffer->isVisible())
        Append("Disconnected from " + FPeerName + "\n", Qt::red);
    // That link is over: a call failing later was never connected to it.
    FPeerName.clear();
}

void TChatFrm::Save1Click()
{
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDirectory(ToQt(DataRoot::Get()));
    dialog.setNameFilter("Text files (*.txt)");
    dialog.setDefaultSuffix("txt");
    dialog.selectFile(QString());
    dialog.setWindowTitle("Save " + QCoreApplication::applicationName().toUpper() +
                          " Keyboard Chat As");
    if (ShowModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString file = dialog.selectedFiles().first();
    if (file.isEmpty())
        return;
    QStringList lines = ReceiveBuffer->toPlainText().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    std::string data;
    for (const QString& line : lines)
        data += FromQt(line) + "\r\n";
    try {
        WriteFileAtomic(FromQt(file), data);
    } catch (const std::exception& e) {
        ShowMessageBox("Unable to save the chat to:\n\n" + FromQt(file) + "\n\n" + e.what(),
                       "Save Chat Error", MB_OK, TMsgIcon::Error);
    }
}
