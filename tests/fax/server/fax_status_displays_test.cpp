#include "fax/fax_job_info_dialog.h"
#include "fax/fax_printer_status.h"
#include "fax/fax_test_helpers.h"
#include "fax/server/server_helpers.h"
#include "support/scripted_dialogs.h"

#include <gtest/gtest.h>

#include <QDateTimeEdit>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>

using namespace FaxServerTest;
using FaxTest::TScratch;

TEST(FaxPrinterStatus, ShowsTheJobAndHidesAtTheEnd)
{
    TScratch dir;
    MakeSmallApf(dir.Path("fax.apf"), 1, 3);
    QObject form;
    auto* printer = new TApdFaxPrinter(&form);
    auto* status = new TApdFaxPrinterStatus(&form);
    ASSERT_EQ(printer->StatusDisplay(), status);
    printer->SetFileName(dir.Path("fax.apf"));
    status->UpdateDisplay(true, false);
    TStandardFaxPrinterStatusDisplay* display = status->Form();
    EXPECT_TRUE(display->isVisible());
    EXPECT_EQ(display->fpsFileName->text(), "FAX.APF");
    EXPECT_EQ(display->fpsTotalPages->text(), "3");
    EXPECT_EQ(display->fpsResolution->text(), "standard");
    EXPECT_EQ(display->fpsWidth->text(), "1728");
    EXPECT_EQ(display->fpsStatus->text(), "Idle 0 of 3");
    printer->SetFaxPrintProgress(TFaxPrintProgress::ppRendering);
    EXPECT_EQ(display->fpsStatus->text(), "Rendering 0 of 3");
    status->UpdateDisplay(false, true);
    EXPECT_FALSE(display->isVisible());
}

// Centred on the screen unless told to stay where it was put.
TEST(FaxPrinterStatus, ShownWhereItsPositionSays)
{
    QObject form;
    new TApdFaxPrinter(&form);
    auto* status = new TApdFaxPrinterStatus(&form);
    TStandardFaxPrinterStatusDisplay* display = status->Form();
    EXPECT_EQ(status->Position(), TPosition::poScreenCenter);
    status->SetPosition(TPosition::poDesigned);
    display->move(37, 41);
    status->UpdateDisplay(true, false);
    EXPECT_EQ(display->pos(), QPoint(37, 41));
    status->UpdateDisplay(false, true);

    status->SetPosition(TPosition::poScreenCenter);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(display->pos(), screen.center() - display->rect().center());
    display->move(37, 41);
    status->UpdateDisplay(true, false);
    EXPECT_EQ(display->pos(), screen.center() - display->rect().center());
}

TEST(FaxJobInfoDialog, EditsGoIntoTheJobFile)
{
    TScratch dir;
    MakeSmallApf(dir.Path("fax.apf"), 1);
    TApdFaxJobHandler handler;
    const std::string job = dir.Path("j.apj");
    TFaxRecipientRec r;
    r.PhoneNumber = "111";
    r.SchedDT = At(2024, 1, 1, 10, 0, 0);
    handler.MakeJob(dir.Path("fax.apf"), "", "job", "Me", job, r);
    r.PhoneNumber = "222";
    r.SchedDT = At(2024, 1, 1, 11, 0, 0);
    handler.AddRecipient(job, r);
    handler.CancelRecipient(job, 1);

    TApdFaxJobInfoDialog dialog(&handler);
    dialog.LoadJob(job);
    EXPECT_EQ(dialog.HeaderStatus->text(), "Some jobs have been handled");
    EXPECT_EQ(dialog.RecipientStatus->text(), "This job has not been handled");
    EXPECT_FALSE(dialog.btnPrev->isEnabled());
    EXPECT_TRUE(dialog.btnNext->isEnabled());

    // An edit, then a move: the box asks, Yes applies.
    QTest::keyClicks(dialog.PhoneNumber, "9");
    EXPECT_TRUE(dialog.Changed());
    dialog.Scheduled->setDateTime(QDateTime(QDate(2024, 1, 1), QTime(12, 0)));
    {
        TScriptedDialogs boxes;
        boxes.ExpectBox("The data has changed.  Apply the changes?", IDYES);
        QKeyEvent altRight(QEvent::KeyPress, Qt::Key_Right, Qt::AltModifier);
        QApplication::sendEvent(&dialog, &altRight);
    }
    EXPECT_EQ(dialog.Current(), 1);
    EXPECT_EQ(dialog.RecipientStatus->text(), "This job has been handled");
    EXPECT_FALSE(dialog.btnNext->isEnabled());
    TFaxRecipientRec got;
    handler.GetRecipient(job, 0, got);
    EXPECT_EQ(got.PhoneNumber, "1119");
    EXPECT_EQ(Iso(got.SchedDT), "2024-01-01T12:00:00.000");

    // Reset status puts the cancelled recipient back; the job is due with it.
    dialog.btnReset->click();
    EXPECT_EQ(dialog.RecipientStatus->text(), "This job has not been handled");
    TFaxJobHeaderRec header;
    handler.GetJobHeader(job, header);
    EXPECT_EQ(header.Status, 0);
    EXPECT_EQ(header.NextRecipient, 1);
    EXPECT_EQ(Iso(header.SchedDT), "2024-01-01T11:00:00.000");
}
