#pragma once

#include <QWidget>

class QGroupBox;
class QLabel;
class QProgressBar;

// "VESKAR Status": the modem's link statistics for both ends and the
// amplitudes of four of its tones. The link control window writes the
// boxes and bars; the window itself only knows its reset.
class TVeskarStatisticsFrm : public QWidget {
    Q_OBJECT
public:
    explicit TVeskarStatisticsFrm(QWidget* owner = nullptr);

    QGroupBox* LocalStatsBox;
    QLabel* MyModBox;
    QLabel* MySNRBox;
    QLabel* MyFreqBox;
    QLabel* MyPHSBox;
    QLabel* MyECCBox;
    QLabel* MyTPUTBox;
    QGroupBox* GroupBox1;
    QLabel* HisModBox;
    QLabel* HisSNRBox;
    QLabel* HisFreqBox;
    QLabel* HisPHSBox;
    QLabel* HisECCBox;
    QLabel* HisTPUTBox;
    QGroupBox* GroupBox2;
    QProgressBar* T1ProgressBar;
    QProgressBar* T2ProgressBar;
    QProgressBar* T3ProgressBar;
    QProgressBar* T4ProgressBar;

    // Empty MOD boxes and "0" in the others; the tone bars keep their levels.
    void Reset();
};
