#pragma once

#include <QGroupBox>

#include <string>

class QListWidget;
class QPushButton;

// The link control window's "Receive File" group: the files that other
// stations sent, as filed in the directory Files, with Open and Delete.
// Only regular files are listed. A received file is never run: Open hands
// it to the desktop's viewer for its type and refuses programs and scripts.
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
