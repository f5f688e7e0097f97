// The link control window's list of received files.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QPushButton>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "link/windows/received_files.h"
#include "platform/data_root.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"
#include "window_helpers.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const TReceiveFileBox& box)
{
    std::vector<std::string> names;
    for (int i = 0; i < box.ReceiveFileListBox->count(); ++i)
        names.push_back(FromQt(box.ReceiveFileListBox->item(i)->text()));
    std::sort(names.begin(), names.end());
    return names;
}

void Write(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

class ReceivedFiles : public ::testing::Test {
protected:
    ReceivedFiles()
    {
        Shell::SetLauncher(
            [this](const std::string& program, const std::vector<std::string>& args) {
                started.push_back(program + " " + args.back());
                return opens;
            });
    }
    ~ReceivedFiles() override { Shell::SetLauncher({}); }

    std::string Files() const { return dir.Dir() + "/Files/"; }

    TempRoot dir;
    TReceiveFileBox box;
    std::vector<std::string> started;
    bool opens = true;
};

TEST_F(ReceivedFiles, ListsRegularFilesOnlyAndKeepsTheSelection)
{
    box.RefreshReceivedFiles();
    EXPECT_EQ(box.ReceiveFileListBox->count(), 0);
    EXPECT_FALSE(box.OpenBtn->isEnabled());
    EXPECT_FALSE(box.DeleteBtn->isEnabled());

    fs::create_directories(Files() + "sub");
    Write(Files() + "a.txt", "a");
    Write(Files() + "b.txt", "b");
    fs::create_symlink(Files() + "a.txt", Files() + "link.txt");
    box.RefreshReceivedFiles();
    EXPECT_EQ(Names(box), (std::vector<std::string>{"a.txt", "b.txt", "sub"}))
        << "folders listed, symbolic links not";
    fs::remove(Files() + "sub");
    box.RefreshReceivedFiles();
    EXPECT_EQ(Names(box), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(box.ReceiveFileListBox->currentRow(), 0);
    EXPECT_TRUE(box.OpenBtn->isEnabled());
    EXPECT_TRUE(box.DeleteBtn->isEnabled());

    box.ReceiveFileListBox->setCurrentRow(1);
    box.RefreshReceivedFiles();
    EXPECT_EQ(box.ReceiveFileListBox->currentRow(), 1);
    const std::string second = FromQt(box.ReceiveFileListBox->item(1)->text());
    box.DeleteBtn->click();
    EXPECT_FALSE(fs::exists(Files() + second));
    ASSERT_EQ(box.ReceiveFileListBox->count(), 1);
    // The remembered entry is gone: nothing is selected, and the buttons
    // then do nothing.
    EXPECT_TRUE(box.ReceiveFileListBox->selectedItems().isEmpty());
    box.DeleteBtn->click();
    box.OpenBtn->click();
    EXPECT_EQ(box.ReceiveFileListBox->count(), 1);
    EXPECT_TRUE(started.empty());

    // A file gone since the list was made cannot be deleted: that is said.
    box.ReceiveFileListBox->setCurrentRow(0);
    fs::remove(Files() + FromQt(box.ReceiveFileListBox->item(0)->text()));
    TScriptedDialogs boxes;
    boxes.ExpectBox("Unable to delete the file:", IDOK);
    box.DeleteBtn->click();
    EXPECT_EQ(boxes.Records().at(0).title, "File Delete Error");
    EXPECT_EQ(box.ReceiveFileListBox->count(), 0);
}

// A folder in Files (its execute bits make no program of it) goes to the
// desktop on Open; Delete leaves it, even empty, and says so.
TEST_F(ReceivedFiles, AFolderIsOpenedByTheDesktopAndNeverDeleted)
{
    fs::create_directories(Files() + "photos");
    box.RefreshReceivedFiles();
    ASSERT_EQ(Names(box), std::vector<std::string>{"photos"});
    box.OpenBtn->click();
    EXPECT_EQ(started, (std::vector<std::string>{"xdg-open " + Files() + "photos"}));

    TScriptedDialogs boxes;
    boxes.ExpectBox("Unable to delete the file:\n\n" + Files() + "photos\n\nIt is a folder", IDOK);
    box.DeleteBtn->click();
    EXPECT_EQ(boxes.Records().size(), 1u);
    EXPECT_TRUE(fs::is_directory(Files() + "photos"));
    EXPECT_EQ(Names(box), std::vector<std::string>{"photos"});
}

TEST_F(ReceivedFiles, OpenShowsDocumentsAndNeverRunsPrograms)
{
    fs::create_directories(Files());
    Write(Files() + "report.txt", "hello");
    box.RefreshReceivedFiles();
    box.OpenBtn->click();
    EXPECT_EQ(started, (std::vector<std::string>{"xdg-open " + Files() + "report.txt"}));

    opens = false;
    TScriptedDialogs boxes;
    boxes.ExpectBox("Unable to auto open the file:\n\n" + Files() +
                        "report.txt\n\nTry to open the file with Windows Explorer.",
                    IDOK);
    box.OpenBtn->click();
    EXPECT_EQ(boxes.Records().at(0).title, "File Open Error");

    Write(Files() + "run.bin", "data");
    fs::permissions(Files() + "run.bin", fs::perms::owner_exec, fs::perm_options::add);
    Write(Files() + "start.desktop", "[Desktop Entry]\nType=Application\nExec=rm -rf ~\n");
    Write(Files() + "setup.sh", "#!/bin/sh\necho hi\n");
    Write(Files() + "prog", std::string("\x7f"
                                        "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x3e\0",
                                        20));
    for (const char* name : {"run.bin", "start.desktop", "setup.sh", "prog"})
        EXPECT_TRUE(TReceiveFileBox::IsProgram(Files() + name)) << name;
    EXPECT_FALSE(TReceiveFileBox::IsProgram(Files() + "report.txt"));

    box.RefreshReceivedFiles();
    const auto items = box.ReceiveFileListBox->findItems("start.desktop", Qt::MatchExactly);
    ASSERT_EQ(items.size(), 1);
    box.ReceiveFileListBox->setCurrentItem(items[0]);
    boxes.ExpectBox("is a program or a script. Received files are not run.", IDOK);
    started.clear();
    box.OpenBtn->click();
    EXPECT_TRUE(started.empty());
}

TEST(ReceivedFilesOverTheAir, AFileFromThePeerIsListedWhenItArrives)
{
    TTwoStations air;
    fs::create_directories(air.Field->Root + "/STATIONS/HOME/Files");
    Write(air.Field->Root + "/STATIONS/HOME/Files/notes.txt", "field notes");
    ASSERT_TRUE(air.Link());
    const QListWidget* list = air.Home->Form->ReceiveFileListBox;
    ASSERT_TRUE(PumpUntil([&] { return list->count() == 1; }));
    EXPECT_EQ(FromQt(list->item(0)->text()), "notes.txt");
    EXPECT_TRUE(air.Home->Form->OpenBtn->isEnabled());
}

} // namespace
