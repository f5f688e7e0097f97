#pragma once

#include "netlib/base/ip_base.h"

#include <QDialog>
#include <QPointer>

#include <memory>
#include <string>

class QLabel;
class QPushButton;
class TIpCustomRasDialer;
class TIpRasStatus;

// The window a status display shows while a connection is dialled: the
// caption names the entry, a panel shows the state or error, and Cancel
// hangs up.
class TIpRasStatusDisplay : public QDialog {
    Q_OBJECT
public:
    explicit TIpRasStatusDisplay(TIpRasStatus* owner);

    QLabel* Panel1 = nullptr;
    QPushButton* CancelBtn = nullptr;
    // The dialer whose dial this shows.
    QPointer<TIpCustomRasDialer> RasDialer;

    // Asks the owning display to hang up, after this handler has returned.
    void CancelBtnClick();

private:
    QPointer<TIpRasStatus> FOwner;
};

// What a dialer talks to while it dials.
class TIpAbstractRasStatus : public TIpBaseComponent {
    Q_OBJECT
public:
    enum TPosition {
        poDesigned,
        poDefault,
        poDefaultPosOnly,
        poDefaultSizeOnly,
        poScreenCenter,
        poDesktopCenter,
        poMainFormCenter,
        poOwnerFormCenter
    };

    // A dialer already owned by the same owner, and not linked yet, is
    // linked both ways.
    explicit TIpAbstractRasStatus(QObject* owner = nullptr);
    // Leaves the linked dialer without a display.
    ~TIpAbstractRasStatus() override;

    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool value);
    TPosition Position() const { return FPosition; }
    void SetPosition(TPosition value);
    TIpCustomRasDialer* RasDialer() const { return FRasDialer; }
    void SetRasDialer(TIpCustomRasDialer* dialer) { FRasDialer = dialer; }

    virtual void UpdateDisplay(const std::string& text) = 0;
    virtual void CreateDisplay(const std::string& entryName) = 0;
    virtual void DestroyDisplay() = 0;

    // The open form, if any.
    TIpRasStatusDisplay* DisplayForm() const { return FDisplayForm.get(); }

protected:
    // Puts Ctl3D and Position on the open form.
    void ApplyToForm();

    std::unique_ptr<TIpRasStatusDisplay> FDisplayForm;

private:
    bool FCtl3D = true;
    TPosition FPosition = poScreenCenter;
    QPointer<TIpCustomRasDialer> FRasDialer;
};

class TIpRasStatus : public TIpAbstractRasStatus {
    Q_OBJECT
public:
    using TIpAbstractRasStatus::TIpAbstractRasStatus;
    ~TIpRasStatus() override;

    // Opens the form, unless one is open (which is then left as it is).
    void CreateDisplay(const std::string& entryName) override;
    void UpdateDisplay(const std::string& text) override;
    void DestroyDisplay() override;

    // The message the form's Cancel posts.
    static constexpr uint32_t kCancelMessage = 4770;
    void CMRasStatus(uint32_t msg, uintptr_t wParam);
};
