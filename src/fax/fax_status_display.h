#pragma once

#include "serial/ad_component.h"

#include <QPointer>
#include <QWidget>
#include <string>

// The fax status display of a fax component: a small window that follows a
// call's progress, and the base that a component (or a fax server) reports
// to.

class TApdCustomAbstractFax;

enum class TPosition : uint8_t { poDesigned, poDefault, poScreenCenter };

class TApdAbstractFaxStatus : public TApdBaseComponent {
    Q_OBJECT
public:
    ~TApdAbstractFaxStatus() override;

    TPosition Position() const { return Position_; }
    void SetPosition(TPosition value);
    bool Ctl3D = true;
    bool Visible() const;
    void SetVisible(bool value);
    const std::string& Caption() const { return Caption_; }
    void SetCaption(const std::string& value);
    TApdCustomAbstractFax* Fax() const;
    void SetFax(TApdCustomAbstractFax* value);

    virtual void UpdateDisplay(bool first, bool last) = 0;
    QWidget* Display() const { return Display_; }

protected:
    // Attaches itself to the owner's first fax component without a display.
    explicit TApdAbstractFaxStatus(QObject* owner);
    virtual void CreateDisplay() = 0;
    virtual void DestroyDisplay() = 0;
    // Gives the form the component's caption and position.
    void ApplyProperties();

    QPointer<QWidget> Display_;

private:
    TPosition Position_ = TPosition::poScreenCenter;
    std::string Caption_ = "Fax Status";
    QPointer<TApdCustomAbstractFax> Fax_;
};

class QLabel;
class QPushButton;
class TApdMeter;

// The standard fax status form.
class TStandardFaxDisplay : public QWidget {
    Q_OBJECT
public:
    explicit TStandardFaxDisplay(QWidget* parent = nullptr);

    TApdCustomAbstractFax* Fax = nullptr;
    // Refreshes every value from the fax component.
    void UpdateValues();

    // Captions the fax server relabels, and the values.
    QLabel* fsLabel2;
    QLabel* fsLabel3;
    QLabel* fsPhoneNumber;
    QLabel* fsFaxFileName;
    QLabel* fsCoverFileName;
    QLabel* fsTotalPages;
    QLabel* fsDialAttempt;
    QLabel* fsRemoteID;
    QLabel* fsConnectBPS;
    QLabel* fsResolution;
    QLabel* fsWidth;
    QLabel* fsErrorControl;
    QLabel* fsCurrentPage;
    QLabel* fsPageLength;
    QLabel* fsBytesTransferred;
    QLabel* fsElapsedTime;
    QLabel* fsStatusMsg;
    QLabel* fsMeterLabel;
    TApdMeter* fsMeter;
    QPushButton* fsCancel;

private:
    uint16_t LastStatus_ = 0;
    bool Timing_ = false;
    uint32_t TimerStart_ = 0;
    bool RetryWaiting_ = false;
    uint32_t RetryStart_ = 0;
};

class TApdFaxStatus : public TApdAbstractFaxStatus {
    Q_OBJECT
public:
    explicit TApdFaxStatus(QObject* owner = nullptr);
    ~TApdFaxStatus() override;

    void UpdateDisplay(bool first, bool last) override;
    TStandardFaxDisplay* Form() const;

protected:
    void CreateDisplay() override;
    void DestroyDisplay() override;
};

// "m:ss" right-aligned in six characters.
std::string FaxElapsedText(uint32_t seconds);
