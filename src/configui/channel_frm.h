#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "configui/edit_dialog.h"

// The "Channel Information" dialog: one radio channel's receive and transmit
// frequencies (kHz, whole and three decimals in two boxes each), its side
// band and the link qualities of the station selected on the Network tab,
// picked as the channel's best time of use. The transmit frequency equals
// the receive frequency unless "Use Split Freq" is ticked. Made by the
// Network tab for one Add or Edit; it changes no table.
//
// After OK the caller reads ReceiveFreq and TransmitFreq (nine characters:
// the kHz digits right-aligned in five places, ".", three decimals; a place
// without a digit is a blank), SideBand and LQ1 to LQ4 ("5%" to "100%").
class TChannelFrm : public TEditDialog {
    Q_OBJECT
public:
    explicit TChannelFrm(QWidget* owner);

    // The best-time word of four link-quality texts, in the order 00-05,
    // 06-11, 12-17 and 18-23 h: the row of the best-time table they match,
    // "ANYTIME" when none does.
    static std::string BestTimeWord(const std::string (&quality)[4]);
    // The frequency text of a kHz box and a fraction box; the fraction box is
    // padded to three digits when `pad` is set.
    static std::string AssembleFrequency(QLineEdit* kHz, QLineEdit* fraction, bool pad);

    QLineEdit* RX1;
    QLineEdit* RX2;
    QLineEdit* TX1;
    QLineEdit* TX2;
    QFrame* Panel1;
    QFrame* Panel2;
    QFrame* Panel3;
    QFrame* Panel4;
    QCheckBox* CheckBox1;
    QComboBox* SideBand;
    QComboBox* BestTimeCombo;
    QComboBox* LQ1;
    QComboBox* LQ2;
    QComboBox* LQ3;
    QComboBox* LQ4;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    std::string ReceiveFreq;
    std::string TransmitFreq;

    void FormShow();
    void BestTimeComboChange();
    void CheckBox1Click();
    void TX1Enter();
    void TX1Change();
    void RX1Change();
    void OKBtnClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QComboBox* LQ(int slot) const;
    // A key in one of the four frequency boxes: "." and the arrows move
    // between the two boxes of a frequency, a full box is overwritten.
    bool FrequencyKey(QLineEdit* box, QKeyEvent* key, bool press);
};
