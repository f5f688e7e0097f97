#include "netlib/ras/ip_ras_dialog.h"

#include "netlib/ras/ip_ras.h"
#include "netlib/ras/ras_dialogs.h"

namespace {

// A record placed at the dialog's position when it asks for one.
TRasDlgInfo Placed(const TIpRasDialog& dialog, uint32_t positionFlag)
{
    TRasDlgInfo info;
    if (dialog.PositionDlg) {
        info.Flags = positionFlag;
        info.X = dialog.DlgLeft;
        info.Y = dialog.DlgTop;
    }
    return info;
}

} // namespace

TIpRasDialog::TIpRasDialog(QObject* owner) : TIpBaseComponent(owner)
{
    IpRasAccess();
}

int TIpRasDialog::ExecuteDialDlg()
{
    TRasDlgInfo info = Placed(*this, RASDDFLAG_PositionDlg);
    RasDialDlg(Phonebook, EntryName, PhoneNumber, info);
    return info.Error;
}

int TIpRasDialog::ExecuteEntryDlg(TIpRasEntryDlgOption option)
{
    TRasDlgInfo info = Placed(*this, RASEDFLAG_PositionDlg);
    switch (option) {
    case edoNew:
        info.Flags |= RASEDFLAG_NewEntry;
        break;
    case edoEdit:
        info.Flags |= RASEDFLAG_NoRename;
        break;
    case edoCopy:
        info.Flags |= RASEDFLAG_CloneEntry;
        break;
    case edoRename:
        break;
    }
    RasEntryDlg(Phonebook, EntryName, info);
    return info.Error;
}

int TIpRasDialog::ExecuteMonitorDlg(const std::string& deviceName, TIpRasMonitorDlgPage page)
{
    TRasDlgInfo info = Placed(*this, RASMDFLAG_PositionDlg);
    const uint32_t start = page == mdpSummary       ? RASMDPAGE_Summary
                           : page == mdpPreferences ? RASMDPAGE_Preferences
                                                    : RASMDPAGE_Status;
    RasMonitorDlg(deviceName, start, info);
    return info.Error;
}

int TIpRasDialog::ExecutePhonebookDlg(bool forceClose)
{
    TRasDlgInfo info = Placed(*this, RASPBDFLAG_PositionDlg);
    if (forceClose)
        info.Flags |= RASPBDFLAG_ForceCloseOnDial;
    RasPhonebookDlg(Phonebook, EntryName, info);
    return info.Error;
}

std::string TIpRasDialog::GetErrorText(int code)
{
    return TIpCustomRasDialer::GetErrorText(code);
}
