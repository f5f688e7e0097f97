#pragma once

#include <QGroupBox>

#include <string>

class QListWidget;
class QPushButton;

// The link control window's "Receive File" group: the files that other
// stations sent, as filed in the directory Files, with Open and Delete.
// Files and folders are listed; Open hands a folder to the desktop, and
// Delete leaves a folder in place. A received file is never run: Open hands
// it to the desktop's viewer for its type and refuses programs and scripts.
//
// Decisions:
// - Symbolic links are not listed (the list shows every entry): Open and
//   Delete would act on what a link points to, which may lie outside Files.
// - A delete that fails (a folder, a file gone or protected) says so in a
//   box (the list says nothing): a file still there must not look deleted.
class TReceiveFileBox : public QGroupBox {
    Q_OBJECT
public:
    explicit TReceiveFileBox(QWidget* parent = nullptr);

    QListWidget* ReceiveFileListBox;
    QPushButton* OpenBtn;
    QPushButton* DeleteBtn;

    void RefreshReceivedFiles();
    void OpenBtnClick();
    void DeleteBtnClick();

    // The directory Files, ending in "/".
    static std::string FilesPath();
    // Whether the desktop could run the file rather than show it: an
    // executable bit, or a type of program, script or launcher.
    static bool IsProgram(const std::string& path);

private:
    // The selected entry's path; empty with nothing selected.
    std::string SelectedPath() const;
};
