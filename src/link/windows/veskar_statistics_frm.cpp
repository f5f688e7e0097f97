#include "link/windows/veskar_statistics_frm.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace {

const char* const kRows[] = {"MOD", "S/N", "FREQ", "PHS", "ECC", "TPUT"};

QLabel* NewBox(QWidget* parent)
{
    auto* box = new QLabel(parent);
    box->setAlignment(Qt::AlignCenter);
    box->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    box->setMinimumWidth(64);
    return box;
}

// A group of six labelled boxes, in the order of kRows.
QGroupBox* NewEndGroup(const char* caption, QWidget* parent, QLabel* (&boxes)[6])
{
    auto* group = new QGroupBox(caption, parent);
    auto* grid = new QGridLayout(group);
    for (int i = 0; i < 6; ++i) {
        boxes[i] = NewBox(group);
        grid->addWidget(new QLabel(kRows[i], group), i, 0);
        grid->addWidget(boxes[i], i, 1);
    }
    return group;
}

} // namespace

TVeskarStatisticsFrm::TVeskarStatisticsFrm(QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::WindowStaysOnTopHint)
{
    setWindowTitle("VESKAR Status");
    QLabel* mine[6];
    QLabel* his[6];
    LocalStatsBox = NewEndGroup("Local", this, mine);
    GroupBox1 = NewEndGroup("Remote", this, his);
    MyModBox = mine[0], MySNRBox = mine[1], MyFreqBox = mine[2];
    MyPHSBox = mine[3], MyECCBox = mine[4], MyTPUTBox = mine[5];
    HisModBox = his[0], HisSNRBox = his[1], HisFreqBox = his[2];
    HisPHSBox = his[3], HisECCBox = his[4], HisTPUTBox = his[5];

    GroupBox2 = new QGroupBox("Amplitude Tone Levels", this);
    auto* tones = new QGridLayout(GroupBox2);
    const char* const names[] = {"T0", "T2", "T4", "T6"};
    QProgressBar** bars[] = {&T1ProgressBar, &T2ProgressBar, &T3ProgressBar, &T4ProgressBar};
    for (int i = 0; i < 4; ++i) {
        auto* bar = new QProgressBar(GroupBox2);
        bar->setRange(1, 255);
        bar->setValue(1);
        bar->setTextVisible(false);
        *bars[i] = bar;
        tones->addWidget(new QLabel(names[i], GroupBox2), i, 0);
        tones->addWidget(bar, i, 1);
    }

    auto* ends = new QHBoxLayout;
    ends->addWidget(LocalStatsBox);
    ends->addWidget(GroupBox1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(ends);
    layout->addWidget(GroupBox2);
    Reset();
}

void TVeskarStatisticsFrm::Reset()
{
    for (QLabel* mod : {MyModBox, HisModBox})
        mod->clear();
    for (QLabel* box : {MySNRBox, MyFreqBox, MyPHSBox, MyECCBox, MyTPUTBox, HisSNRBox, HisFreqBox,
                        HisPHSBox, HisECCBox, HisTPUTBox})
        box->setText("0");
}
