#pragma once

#include "netlib/base/ip_base.h"

#include <string>

// The dial-up service's dialogs as a component: dialling, entry editing,
// the connection monitor and the phone book (netlib/ras/ras_dialogs.h).
// Each call places its dialog at DlgLeft/DlgTop when PositionDlg is set and
// returns the dialog's error field (0 when none, also when the user
// cancelled). Call on the GUI thread.

enum TIpRasEntryDlgOption { edoNew, edoEdit, edoCopy, edoRename };
enum TIpRasMonitorDlgPage { mdpStatus, mdpSummary, mdpPreferences };

class TIpRasDialog : public TIpBaseComponent {
    Q_OBJECT
public:
    explicit TIpRasDialog(QObject* owner = nullptr);

    // Dials EntryName, with PhoneNumber in place of the entry's when set.
    int ExecuteDialDlg();
    // edoNew makes a new entry, edoEdit edits EntryName under its name,
    // edoCopy makes a new entry from it, edoRename edits it and may rename
    // it.
    int ExecuteEntryDlg(TIpRasEntryDlgOption option);
    // Opens on the connection over that device, if any.
    int ExecuteMonitorDlg(const std::string& deviceName, TIpRasMonitorDlgPage page);
    // With forceClose the phone book closes once a dial from it connects.
    int ExecutePhonebookDlg(bool forceClose);
    std::string GetErrorText(int code);

    std::string EntryName;
    std::string Phonebook;
    std::string PhoneNumber;
    int DlgLeft = 0;
    int DlgTop = 0;
    bool PositionDlg = false;
};
