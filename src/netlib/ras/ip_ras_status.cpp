#include "netlib/ras/ip_ras_status.h"

#include "netlib/base/ip_const.h"
#include "netlib/ras/ip_ras.h"
#include "platform/text.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

TIpRasStatusDisplay::TIpRasStatusDisplay(TIpRasStatus* owner) : FOwner(owner)
{
    setObjectName("IpRasStatusDisplay");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    auto* layout = new QVBoxLayout(this);
    Panel1 = new QLabel(this);
    Panel1->setObjectName("Panel1");
    Panel1->setMinimumWidth(260);
    Panel1->setAlignment(Qt::AlignCenter);
    CancelBtn = new QPushButton("&Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    layout->addWidget(Panel1);
    layout->addWidget(CancelBtn, 0, Qt::AlignHCenter);
    connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });
}

void TIpRasStatusDisplay::CancelBtnClick()
{
    if (TIpRasStatus* owner = FOwner)
        QMetaObject::invokeMethod(
            owner, [owner] { owner->CMRasStatus(TIpRasStatus::kCancelMessage, 1); },
            Qt::QueuedConnection);
}

TIpAbstractRasStatus::TIpAbstractRasStatus(QObject* owner) : TIpBaseComponent(owner)
{
    if (!owner)
        return;
    for (auto* dialer : owner->findChildren<TIpCustomRasDialer*>(Qt::FindDirectChildrenOnly)) {
        if (!dialer->StatusDisplay()) {
            dialer->SetStatusDisplay(this);
            FRasDialer = dialer;
            break;
        }
    }
}

TIpAbstractRasStatus::~TIpAbstractRasStatus()
{
    if (FRasDialer && FRasDialer->StatusDisplay() == this)
        FRasDialer->SetStatusDisplay(nullptr);
}

void TIpAbstractRasStatus::SetCtl3D(bool value)
{
    if (value == FCtl3D)
        return;
    FCtl3D = value;
    ApplyToForm();
}

void TIpAbstractRasStatus::SetPosition(TPosition value)
{
    if (value == FPosition)
        return;
    FPosition = value;
    ApplyToForm();
}

void TIpAbstractRasStatus::ApplyToForm()
{
    // Qt draws its own frames, so the 3-D look has nothing to change; the
    // position places the form.
    if (!FDisplayForm)
        return;
    if (FPosition == poScreenCenter || FPosition == poDesktopCenter) {
        FDisplayForm->adjustSize();
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = FDisplayForm->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            FDisplayForm->move(frame.topLeft());
        }
    }
}

TIpRasStatus::~TIpRasStatus()
{
    DestroyDisplay();
}

void TIpRasStatus::CreateDisplay(const std::string& entryName)
{
    if (FDisplayForm)
        return;
    FDisplayForm = std::make_unique<TIpRasStatusDisplay>(this);
    FDisplayForm->setWindowTitle(ToQt(IpStr(IpConst::SRasConnectingTo) + entryName + "..."));
    FDisplayForm->RasDialer = RasDialer();
    ApplyToForm();
    FDisplayForm->show();
}

void TIpRasStatus::UpdateDisplay(const std::string& text)
{
    if (FDisplayForm)
        FDisplayForm->Panel1->setText(ToQt(text));
}

void TIpRasStatus::DestroyDisplay()
{
    FDisplayForm.reset();
}

void TIpRasStatus::CMRasStatus(uint32_t msg, uintptr_t wParam)
{
    if (msg == kCancelMessage && wParam == 1)
        if (TIpCustomRasDialer* dialer = RasDialer())
            dialer->Hangup();
}
