#pragma once

#include "fax/fax_job_file.h"

#include <QDialog>
#include <string>

class QDateTimeEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// A job file's header and, one at a time, its recipients, with the
// recipient's number, header texts and time editable. Changes are written
// to the job file by Apply (and by OK when something changed).
class TApdFaxJobInfoDialog : public QDialog {
    Q_OBJECT
public:
    explicit TApdFaxJobInfoDialog(TApdFaxJobHandler* handler, QWidget* parent = nullptr);

    // Loads the job and runs the dialog; the dialog's result.
    int ShowDialog(const std::string& jobFileName, const std::string& dlgCaption);

    // Loads the job (without running the dialog).
    void LoadJob(const std::string& jobFileName);
    // Moves to another recipient, asking first when the shown one changed.
    void GoTo(int index);
    void Apply();
    void ResetStatus();
    bool Changed() const { return Changed_; }
    int Current() const { return Current_; }

    QLabel* FileName;
    QLabel* DateSubmitted;
    QLabel* HeaderStatus;
    QLabel* Sender;
    QLabel* NumRecipients;
    QLabel* NextRecipient;
    QLabel* NextDue;
    QLabel* RecipientStatus;
    QLineEdit* PhoneNumber;
    QLineEdit* HeaderLine;
    QLineEdit* HeaderRecipient;
    QLineEdit* HeaderTitle;
    QLabel* AttemptNum;
    QLabel* LastResult;
    QLabel* JobNumber;
    QDateTimeEdit* Scheduled;
    QPushButton* btnPrev;
    QPushButton* btnNext;
    QPushButton* btnReset;
    QPushButton* btnOK;
    QPushButton* btnCancel;
    QPushButton* btnApply;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ShowJob();
    void ShowRecipient();

    TApdFaxJobHandler* Handler_;
    std::string JobFile_;
    TFaxJob Job_;
    int Current_ = 0;
    bool Changed_ = false;
    bool Filling_ = false;
};
