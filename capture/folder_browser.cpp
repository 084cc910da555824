#include "capture/folder_browser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QTimer>

#include "platform/folder_dialog.h"

namespace zevo {

FolderBrowser::FolderBrowser(const QString& initialFolder, unsigned flags, QWidget* owner)
    : mInitialFolder(initialFolder), mFlags(flags | BIF_STATUSTEXT), mOwner(owner) {}

FolderBrowser::~FolderBrowser() = default;

QString FolderBrowser::StatusText(const QString& folder) {
    if (folder.size() <= kStatusTextLength) return folder;
    return folder.left(kStatusTextLength) + QStringLiteral("...");
}

QString FolderBrowser::StatusLine() const {
    return mStatusLine ? mStatusLine->text() : QString();
}

void FolderBrowser::SetStatusLine(const QString& text) {
    if (mStatusLine) mStatusLine->setText(text);
}

int FolderBrowser::Browse() {
    mResultFolder = mInitialFolder;
    QFileDialog dialog(mOwner, QStringLiteral("Save Path:"));
    // Our own dialog, not the desktop's: it carries the status line.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    mStatusLine = new QLabel(&dialog);
    mStatusLine->setObjectName(QStringLiteral("statusText"));
    mStatusLine->setTextFormat(Qt::PlainText);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        grid->addWidget(mStatusLine, grid->rowCount(), 0, 1, grid->columnCount());
    }
    mDialogWindow = &dialog;
    QObject::connect(
        &dialog, &QFileDialog::currentChanged, &dialog,
        [this, &dialog](const QString& path) { OnBrowseMessage(&dialog, BFFM_SELCHANGED, path); });

    bool confirmed = false;
    QString chosen;
    if (FolderDialogHook hook = CurrentFolderDialogHook()) {
        OnBrowseMessage(&dialog, BFFM_INITIALIZED, QString());
        if (std::optional<QString> answer = hook(dialog.windowTitle(), StatusLine())) {
            OnBrowseMessage(&dialog, BFFM_SELCHANGED, *answer);
            confirmed = true;
            chosen = *answer;
        }
    } else {
        QTimer::singleShot(
            0, &dialog, [this, &dialog] { OnBrowseMessage(&dialog, BFFM_INITIALIZED, QString()); });
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            confirmed = true;
            chosen = dialog.selectedFiles().first();
        }
    }
    mStatusLine = nullptr;
    mDialogWindow = nullptr;
    // Only a folder of the file system counts as a choice.
    if (confirmed && !chosen.isEmpty() && QFileInfo(chosen).isDir()) {
        mResultFolder = QDir::cleanPath(QFileInfo(chosen).absoluteFilePath());
        return 1;
    }
    return 2;
}

void FolderBrowser::OnBrowseMessage(QFileDialog* dialog, int message, const QString& param) {
    mDialogWindow = dialog;
    if (message == BFFM_INITIALIZED) {
        OnInitialized();
    } else if (message == BFFM_SELCHANGED) {
        OnSelChanged(param);
    }
}

void FolderBrowser::OnInitialized() {
    if (mDialogWindow) {
        const QFileInfo initial(mInitialFolder);
        mDialogWindow->setDirectory(initial.absolutePath());
        mDialogWindow->selectFile(initial.fileName());
    }
    SetStatusLine(StatusText(mInitialFolder));
}

void FolderBrowser::OnSelChanged(const QString& item) {
    mResultFolder = item;
    SetStatusLine(StatusText(mResultFolder));
}

}  // namespace zevo
