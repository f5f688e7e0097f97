#pragma once

#include <QMainWindow>

#include <string>

class QAction;
class QColor;
class QLabel;
class QMenu;
class QPushButton;
class QTextEdit;
class TLinkCtrlFrm;

// The keyboard chat of a link: both sides' lines in one view, a send box,
// the ring, and saving the conversation. The link control window makes it
// once and drives it on link events; it sends through that window. Closing
// only hides it. A window of its own (no parent), on top of the others.
//
// Decisions:
// - A send the link refuses keeps the typed text in the send box, instead
//   of clearing it: the refusal asks for fewer characters or a retry, and
//   text cleared away would be lost to the operator.
class TChatFrm : public QMainWindow {
    Q_OBJECT
public:
    explicit TChatFrm(TLinkCtrlFrm& link);

    QTextEdit* ReceiveBuffer;
    QTextEdit* TransmitBuffer;
    QPushButton* SendBtn;
    QPushButton* DummyBtn;
    QLabel* Image1;
    QMenu* File1;
    QAction* Save1;
    QAction* Exit1;
    QMenu* Options1;
    QAction* SendonEnter1;
    QAction* mnuBuzz;

    // This station's name, for its own lines.
    void SetOwnName(const std::string& name);
    // The title names the peer while linked, and says there is no link
    // otherwise.
    void LinkUp(const std::string& peerName);
    void SetLinked(bool linked);
    // Text from the peer: opens the window when hidden.
    void ReceiveText(const std::string& name, const std::string& text);
    // The peer rang, or the operator did: the notice, the sound and the shake.
    void Ring();
    // The notice that the link with the peer ended; the peer is forgotten.
    void ShowDisconnected();

    void SendBtnClick();
    void mnuBuzzClick();
    void Save1Click();
    void Exit1Click() { close(); }
    void FormShow();
    void ClearViews();

    const std::string& OwnName() const { return FOwnName; }
    const std::string& PeerName() const { return FPeerName; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Append(const std::string& text, const QColor& colour);

    TLinkCtrlFrm& FLink;
    std::string FPeerName;
    std::string FOwnName;
    bool FShaking = false;
};
