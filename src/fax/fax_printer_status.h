#pragma once

#include "fax/ad_fax_prn.h"

#include <QWidget>

class QLabel;
class QPushButton;

// The print status window of the fax printer: the file, its pages and the
// printer's progress, with a button that aborts the job.
class TStandardFaxPrinterStatusDisplay : public QWidget {
    Q_OBJECT
public:
    explicit TStandardFaxPrinterStatusDisplay(QWidget* parent = nullptr);

    TApdCustomFaxPrinter* FaxPrinter = nullptr;
    void UpdateValues();

    QLabel* fpsFileName;
    QLabel* fpsTotalPages;
    QLabel* fpsResolution;
    QLabel* fpsWidth;
    QLabel* fpsFirstPage;
    QLabel* fpsLastPage;
    QLabel* fpsStatus;
    QPushButton* fpsAbortButton;
};

class TApdFaxPrinterStatus : public TApdAbstractFaxPrinterStatus {
    Q_OBJECT
public:
    explicit TApdFaxPrinterStatus(QObject* owner = nullptr);
    ~TApdFaxPrinterStatus() override;

    void UpdateDisplay(bool first, bool last) override;
    void CreateDisplay() override;
    void DestroyDisplay() override;
    TStandardFaxPrinterStatusDisplay* Form() const;
};
