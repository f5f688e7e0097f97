#include "link/windows/received_files.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QMimeDatabase>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>
#include <system_error>

#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/shell.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

// Types that a desktop may start instead of showing: programs, scripts,
// launchers and installers.
constexpr const char* kProgramTypes[] = {
    "application/x-executable",
    "application/x-sharedlib",
    "application/x-pie-executable",
    "application/x-shellscript",
    "application/x-desktop",
    "application/x-ms-dos-executable",
    "application/x-msdownload",
    "application/x-msi",
    "application/vnd.microsoft.portable-executable",
    "application/x-bat",
    "application/x-ms-shortcut",
    "application/x-java-archive",
    "application/x-java-jnlp-file",
    "application/vnd.appimage",
    "application/x-deb",
    "application/x-rpm",
    "application/x-perl",
    "application/x-ruby",
    "text/x-python",
    "text/x-python3",
    "application/javascript",
};

} // namespace

TReceiveFileBox::TReceiveFileBox(QWidget* parent)
    : QGroupBox("Receive File", parent), ReceiveFileListBox(new QListWidget(this)),
      OpenBtn(new QPushButton("Open", this)), DeleteBtn(new QPushButton("Delete", this))
{
    ReceiveFileListBox->setToolTip("List of Files Received");
    OpenBtn->setToolTip("Open the selected file");
    DeleteBtn->setToolTip("Delete the selected file");
    DeleteBtn->setEnabled(false);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(OpenBtn);
    buttons->addWidget(DeleteBtn);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(ReceiveFileListBox, 1);
    layout->addLayout(buttons);
    connect(OpenBtn, &QPushButton::clicked, this, [this] { OpenBtnClick(); });
    connect(DeleteBtn, &QPushButton::clicked, this, [this] { DeleteBtnClick(); });
}

std::string TReceiveFileBox::FilesPath()
{
    return DataRoot::Path(DirName::Files) + "/";
}

void TReceiveFileBox::RefreshReceivedFiles()
{
    const int remembered = ReceiveFileListBox->currentRow();
    ReceiveFileListBox->clear();
    std::error_code ec;
    for (fs::directory_iterator it(FilesPath(), ec), end; !ec && it != end; it.increment(ec))
        if (!it->is_symlink(ec) && (it->is_regular_file(ec) || it->is_directory(ec)))
            ReceiveFileListBox->addItem(ToQt(it->path().filename().string()));
    const bool any = ReceiveFileListBox->count() > 0;
    if (any)
        ReceiveFileListBox->setCurrentRow(remembered < 0 ? 0 : remembered);
    OpenBtn->setEnabled(any);
    DeleteBtn->setEnabled(any);
}

bool TReceiveFileBox::IsProgram(const std::string& path)
{
    std::error_code ec;
    const fs::perms perms = fs::status(path, ec).permissions();
    if (ec || (perms & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec)) !=
                  fs::perms::none)
        return true;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(ToQt(path));
    for (const char* program : kProgramTypes)
        if (type.inherits(program))
            return true;
    return false;
}

std::string TReceiveFileBox::SelectedPath() const
{
    const QList<QListWidgetItem*> selected = ReceiveFileListBox->selectedItems();
    return selected.isEmpty() ? std::string() : FilesPath() + FromQt(selected.first()->text());
}

void TReceiveFileBox::OpenBtnClick()
{
    const std::string path = SelectedPath();
    if (path.empty())
        return;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(path, ec)) && IsProgram(path)) {
        ShowMessageBox("The file:\n\n" + path +
                           "\n\nis a program or a script. Received files are not run.",
                       "File Open Error", MB_OK, TMsgIcon::Warning);
        return;
    }
    if (!Shell::OpenDocument(path))
        ShowMessageBox("Unable to auto open the file:\n\n" + path +
                           "\n\nTry to open the file with Windows Explorer.",
                       "File Open Error", MB_OK, TMsgIcon::Information);
}

void TReceiveFileBox::DeleteBtnClick()
{
    const std::string path = SelectedPath();
    if (path.empty())
        return;
    std::error_code ec;
    std::string why;
    if (fs::is_directory(fs::symlink_status(path, ec)))
        why = "It is a folder: folders are not deleted here.";
    else if (!fs::remove(path, ec) || ec)
        why = ec ? ec.message() : std::string("It is no longer there.");
    if (!why.empty())
        ShowMessageBox("Unable to delete the file:\n\n" + path + "\n\n" + why, "File Delete Error",
                       MB_OK, TMsgIcon::Warning);
    RefreshReceivedFiles();
}
