#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <string>

#include "core/date_time.h"

class TChannelFrm;
class TChannelList;
class TConfig;
class TLinkControl;
class TScheduledLinkList;
class TStationList;

// The "Station Configuration" dialog: this station's identity and password,
// its role and radio, the network of stations and channels, the link
// options, the scheduled links and the mail gateway station. Made once at
// start-up and shown (not modally) from the main menu after a login.
//
// While it is shown, the link control's scanning and automatic-link timer
// stand still; closing it, however it closes, resumes both. OK writes the
// settings back, saves the INI file and has the link control take them up.
// Station, channel and scheduled-link edits, the station role, the password
// after "&Set" and this station's name go to their tables and the
// configuration at once, without OK.
//
// Choices where the tables would otherwise go wrong:
// - This station is never renamed to an empty name or to another station's
//   name (OK refuses both). A rename carries the other stations' routes via
//   this station, its scheduled links and the gateway choices along to the
//   new name.
// - A station that other stations route their mail through cannot be
//   removed; a removed station takes its scheduled links with it.
// - A remote station's mail gateway is "None" rather than empty, since an
//   empty one would make this station the gateway.
// - The radio type is stored by OK. Picking a Kenwood radio that is read
//   out at once puts its type in the configuration for the read-out;
//   closing without OK restores the type the dialog was shown with.
// - A station has at most one scheduled link at each time of day.
// - With no station selected the channel list keeps every tick as shown;
//   its lines still follow the channel table (instead of staying as they
//   were), so a line never names another channel than Edit or Remove acts on.
class TConfigFrm : public QDialog {
    Q_OBJECT
public:
    TConfigFrm(QWidget* owner, TStationList* stations, TChannelList* channels,
               TScheduledLinkList* scheduledLinks, TConfig* config, TLinkControl* linkCtrl);

    // The call-length items and the values stored for them.
    static int CallLengthValue(const std::string& item);
    // The link-quality step (1-20) of a "5%" to "100%" text.
    static int LinkQualityFromText(const std::string& text);

    QTabWidget* PageControl1;
    QWidget* GeneralSheet;
    QWidget* TabSheet2;
    QWidget* TabSheet3;
    QWidget* LinkListSheet;
    QWidget* GatewayTabSheet;
    QPushButton* MainOkBtn;

    // General tab.
    QLineEdit* Name;
    QLineEdit* Call;
    QLineEdit* SelCall;
    QLabel* SelCalLabel;
    QLineEdit* Password;
    QLineEdit* Password2;
    QPushButton* Button1; // Set
    QLabel* VersionLabel;
    QComboBox* SoftwareVersion;
    QLabel* LODVersion;
    QLabel* S28Version;
    QLabel* Waveform;
    QComboBox* RadioType;
    QCheckBox* TunerCheckBox;
    QCheckBox* HideFreqCheckBox;

    // Network tab.
    QListWidget* StationListBox;
    QPushButton* AddStationBtn;
    QPushButton* RemoveStationBtn;
    QPushButton* EditStationBtn;
    QListWidget* ChannelListBox;
    QLabel* LQ1Panel;
    QLabel* LQEndPanel;
    QPushButton* ChannelsAddBtn;
    QPushButton* ChannelsRemovebtn;
    QPushButton* ChannelsEditBtn;
    QPushButton* FreqBtn;
    QPushButton* LQBtn;

    // Link Options tab.
    QCheckBox* ALEEnabled;
    QSpinBox* Attempts;
    QSpinBox* Delay;
    QCheckBox* PrivateCode;
    QLineEdit* Mask[6]; // Mask1 to Mask6
    QLabel* Label24;
    QLabel* Label27;
    QLabel* Label43;
    QLabel* Label44;
    QLabel* Label26;
    QCheckBox* BusyChannelDetectCheckBox;
    QComboBox* CallLengthComboBox;

    // Scheduled Link tab. Grid row 0 is the header of link numbers and
    // column 0 the station names: the table widget's row r is grid row r + 1.
    QTableWidget* ScheduledStringGrid;
    QPushButton* ScheduledLinkAddBtn;
    QPushButton* ScheduledLinkRemoveBtn;
    QPushButton* ScheduledLinkEditBtn;

    // Gateway tab.
    QComboBox* MailGateway;
    QComboBox* FaxGateway;

    // Handlers (public so that tests drive them as the controls do).
    void FormShow();
    void MainOkBtnClick();
    void FormClose();

    void Button1Click();
    void StationInfoKeyUp();
    void SelCallExit();
    void PrivateCodeClick();
    void RadioTypeChange();
    void SoftwareVersionChange();

    void StationListBoxClick();
    void TabSheet2Show();
    void AddStationBtnClick();
    void EditStationBtnClick();
    void RemoveStationBtnClick();
    void ChannelsAddBtnClick();
    void ChannelsEditBtnClick();
    void ChannelsRemovebtnClick();
    void ChannelListBoxClickCheck(QListWidgetItem* item);
    void FreqBtnClick();
    void LQBtnClick();

    // `row` and `column` count the grid's header row and name column; false
    // when the cell cannot be selected.
    bool ScheduledStringGridSelectCell(int column, int row);
    void ScheduledLinkAddBtnClick();
    void ScheduledLinkEditBtnClick();
    void ScheduledLinkRemoveBtnClick();

    void RefreshStationLists(bool loadThisStation = true);
    void RefreshChannelList();
    void UpdateRemoveStationButton();
    void CheckGatewayStations();
    void FillScheduledLinkGrid();

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* BuildGeneralTab();
    QWidget* BuildNetworkTab();
    QWidget* BuildLinkOptionsTab();
    QWidget* BuildScheduledTab();
    QWidget* BuildGatewayTab();

    // Writes the General tab's name, call sign and selective-call ID into
    // this station's entry; false (nothing written) for a name that is empty
    // or another station's.
    bool StoreThisStation();
    // Why this station cannot take the name, or empty when it can.
    std::string ThisStationNameProblem(const std::string& name) const;
    void CarryRename(const std::string& from, const std::string& to);
    void FillMailGatewayItems();
    // The channel buttons refuse radios whose channels cannot be entered.
    bool RadioRefusesChannels() const;
    bool RadioHasSplit() const;
    int SelectedStation() const;
    void SetScheduledButtons(bool add, bool remove, bool edit);
    bool RowHasEmptyCell(int row) const;
    QString GridText(int column, int row) const;
    static void ReadLinkQualities(const TChannelFrm& frm, int (&steps)[4]);
    // Asks the scheduled-link dialog for a time (starting from `time` when
    // `keep` names the link's own "hh:mm"); false when cancelled or when the
    // station already has another link then.
    bool AskScheduledTime(const char* caption, const std::string& station, TDateTime& time,
                          const std::string& keep);

    TStationList* FStations;
    TChannelList* FChannels;
    TScheduledLinkList* FScheduledLinks;
    TConfig* FConfig;
    TLinkControl* FLinkCtrl;

    bool FInfoView = false;
    QString FLastName;
    std::string FShownRadioType;
    bool FShown = false;
    bool FConfirmed = false;

    int FSelectedColumn = 0;
    int FSelectedRow = 0;
    std::string FSelectedStation;
    std::string FSelectedTime;
};
