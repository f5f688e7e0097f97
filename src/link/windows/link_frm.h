#pragma once

#include <QDialog>

#include <string>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class TChannelList;
class TConfig;
class TStationList;

// "Manual Link": the operator picks a station, the channel to call it on
// and the options of the coming link. The dialog changes nothing; the link
// control window reads the choices back after OK.
//
// Channels count up to the smaller of this station's channel flags and the
// channel table, so no entry names a channel the table lacks. While the
// channel box is shown, OK takes only a channel offered for the station
// named in the station box; anything else is refused with a box and the
// dialog stays open.
//
// Decisions:
// - The "Channel Error" box at OK, rather than taking the channel text's
//   number unchecked: a text that is no channel number would be taken for
//   the link's own choice, and a channel the station is not set to use
//   calls where it does not listen; either places a call the operator did
//   not ask for.
class TLinkFrm : public QDialog {
    Q_OBJECT
public:
    TLinkFrm(QWidget* owner, TConfig& config, TChannelList& channels, TStationList& stations);

    QLabel* Label1;
    QComboBox* StationBox;
    QLabel* Label2;
    QComboBox* ChannelBox;
    QCheckBox* AutoEndCheckBox;
    QCheckBox* SendMailCheckBox;
    QPushButton* Button1;
    QPushButton* Button2;
    QFrame* Bevel2;

    void FormShow();
    void StationBoxChange();
    void Button1Click();

    // "003 - 7102.5 kHz", or "003" with [GENERAL] HIDEFREQ; `index` from 0.
    std::string ChannelEntry(int index) const;
    // The station box's text, as typed.
    std::string StationName() const;
    // The channel (from 1) read from the channel box; 0 when it is hidden
    // or holds no channel offered for the station.
    int Channel() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    int ChannelCount() const;
    void FillChannels(int stationIndex);

    TConfig& FConfig;
    TChannelList& FChannels;
    TStationList& FStations;
};
