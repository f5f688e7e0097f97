#pragma once

#include "platform/ras.h"

#include <QDialog>

#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QComboBox;
class QTimer;
class TIpRasDialer;
class TRasDialDialogStatus;

// The dial-up service's own dialogs: dialling an entry, editing an entry,
// watching connections and the phone book, as Qt dialogs over the service
// the dialer uses. Each is run modally through the dialog layer and
// reports like the platform's dialogs: true when the user completed it, and
// the error field of its record set when something failed. Call them on the
// GUI thread.
//
// Decisions:
// - A value the phone book refuses as given (an invalid or taken name, a
//   value it cannot store) is shown in a box that names the field, and the
//   dialog stays open to be corrected; any other failure to write ends the
//   dialog with its code. Every value is checked before anything is
//   written, so Cancel after a refusal leaves the phone book as it was.
// - Text is kept as typed or not at all: a field holding characters outside
//   Windows-1252 (the station's text) is refused by name, never stored or
//   dialled with "?" in their place.
// - The dial dialog dials through a dialer of its own, so its progress and
//   error texts are the dialer's (a failure's with pppd's own words, the
//   status line wrapping to show them whole); the line stays up when the
//   dialog closes
//   after connecting. Cancel hangs up a dial under way. Its error field is
//   the code of the last failed dial, 0 when the user cancelled before one.
// - The monitor shows what the service reports of each connection (entry,
//   device, state, time up, bytes when counted) and refreshes every second.
//   There are no preferences to show: that start page opens the status page.

// Dialog flags of the platform headers.
inline constexpr uint32_t RASDDFLAG_PositionDlg = 0x00000001;
inline constexpr uint32_t RASEDFLAG_PositionDlg = 0x00000001;
inline constexpr uint32_t RASEDFLAG_NewEntry = 0x00000002;
inline constexpr uint32_t RASEDFLAG_CloneEntry = 0x00000004;
inline constexpr uint32_t RASEDFLAG_NoRename = 0x00000008;
inline constexpr uint32_t RASMDFLAG_PositionDlg = 0x00000001;
inline constexpr uint32_t RASPBDFLAG_PositionDlg = 0x00000001;
inline constexpr uint32_t RASPBDFLAG_ForceCloseOnDial = 0x00000002;
inline constexpr uint32_t RASMDPAGE_Status = 0;
inline constexpr uint32_t RASMDPAGE_Summary = 1;
inline constexpr uint32_t RASMDPAGE_Preferences = 2;

// The record every dialog call fills.
struct TRasDlgInfo {
    uint32_t Flags = 0;
    // Where the dialog's top left goes with the position flag.
    int X = 0;
    int Y = 0;
    // Out: the error, 0 for none.
    int Error = 0;
    // Out (entry dialog): the entry as saved.
    std::string Entry;
};

bool RasDialDlg(const std::string& phonebook, const std::string& entry,
                const std::string& phoneNumber, TRasDlgInfo& info);
bool RasEntryDlg(const std::string& phonebook, const std::string& entry, TRasDlgInfo& info);
// deviceName picks the connection shown first; startPage is a RASMDPAGE_.
bool RasMonitorDlg(const std::string& deviceName, uint32_t startPage, TRasDlgInfo& info);
bool RasPhonebookDlg(const std::string& phonebook, const std::string& entry, TRasDlgInfo& info);

// Dials an entry and shows the dial's progress and errors.
class TRasDialDialog : public QDialog {
    Q_OBJECT
public:
    TRasDialDialog(const std::string& phonebook, const std::string& entry,
                   const std::string& phoneNumber);
    ~TRasDialDialog() override;

    // Reads the entry's dial parameters; 0 or the code.
    int Load();
    int Error() const { return FError; }
    bool Dialling() const { return FDialling; }

    QLineEdit* UserNameEdit = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    QLabel* PhoneNumberLabel = nullptr;
    QLabel* StatusLabel = nullptr;
    QPushButton* DialBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

    void DialBtnClick();
    void reject() override;

private:
    void SetDialling(bool dialling);

    std::string FEntry;
    std::string FPhoneNumber;
    std::unique_ptr<TIpRasDialer> FDialer;
    TRasDialDialogStatus* FStatus = nullptr;
    bool FDialling = false;
    int FError = 0;
};

// Creates, edits, copies or renames an entry.
class TRasEntryDialog : public QDialog {
    Q_OBJECT
public:
    TRasEntryDialog(const std::string& phonebook, const std::string& entry, uint32_t flags);

    // Reads the entry (not for a new one); 0 or the code.
    int Load();
    int Error() const { return FError; }
    // The entry as saved.
    const std::string& SavedEntry() const { return FEntry; }

    QLineEdit* EntryNameEdit = nullptr;
    QLineEdit* PhoneNumberEdit = nullptr;
    QPlainTextEdit* OptionsEdit = nullptr;
    QLineEdit* UserNameEdit = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    QLineEdit* DomainEdit = nullptr;
    QLineEdit* CallbackNumberEdit = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

    void OkBtnClick();

private:
    // Shows a refusal the user can correct; false for any other failure,
    // which ends the dialog.
    bool Correctable(int rc);

    std::string FPhonebook;
    // The entry on file: the one edited, or the new one once written.
    std::string FEntry;
    bool FOnFile;
    uint32_t FFlags;
    int FError = 0;
};

// The connections and their state, time up and bytes.
class TRasMonitorDialog : public QDialog {
    Q_OBJECT
public:
    TRasMonitorDialog(const std::string& deviceName, uint32_t startPage);

    // Reads the connections; 0 or the code.
    int Refresh();
    int Load() { return Refresh(); }
    int Error() const { return 0; }

    QTabWidget* Pages = nullptr;
    QComboBox* ConnectionBox = nullptr;
    QLabel* DeviceLabel = nullptr;
    QLabel* StateLabel = nullptr;
    QLabel* DurationLabel = nullptr;
    QLabel* BytesSentLabel = nullptr;
    QLabel* BytesReceivedLabel = nullptr;
    QTableWidget* SummaryTable = nullptr;
    QPushButton* CloseBtn = nullptr;

private:
    void ShowStatus();

    std::string FDeviceName;
    std::vector<TRasConnection> FConnections;
    QTimer* FRefresh = nullptr;
};

// The phone book: its entries, with new, edit, delete and dial.
class TRasPhonebookDialog : public QDialog {
    Q_OBJECT
public:
    TRasPhonebookDialog(const std::string& phonebook, const std::string& entry, uint32_t flags);

    // Reads the entries; 0 or the code.
    int Refresh();
    int Load() { return Refresh(); }
    int Error() const { return 0; }
    // Whether a dial from here connected.
    bool Connected() const { return FConnected; }

    QListWidget* EntryList = nullptr;
    QPushButton* NewBtn = nullptr;
    QPushButton* EditBtn = nullptr;
    QPushButton* DeleteBtn = nullptr;
    QPushButton* DialBtn = nullptr;
    QPushButton* CloseBtn = nullptr;

    void NewBtnClick();
    void EditBtnClick();
    void DeleteBtnClick();
    void DialBtnClick();

private:
    std::string Selected() const;
    // Shows a failed operation's text.
    void ShowError(int rc);

    std::string FPhonebook;
    std::string FSelect;
    uint32_t FFlags;
    bool FConnected = false;
};
