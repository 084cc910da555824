// The save folder dialog as a user meets it (Qt offscreen): its title, the folder it
// opens on, the status line following the selection, and what confirming or cancelling
// returns. The dialog is driven from a timer while Browse runs it modally.
#include "capture/folder_browser.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

namespace zevo {
namespace {

// Runs act on the modal folder dialog as soon as it is open.
void WhenDialogOpens(const std::function<void(QFileDialog*)>& act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            // Let the dialog's own initialisation (posted at open) run first.
            QTimer::singleShot(50, dialog, [dialog, act] { act(dialog); });
        }
    });
    poll->start(10);
}

TEST(FolderBrowser, OpensOnTheFolderFollowsTheSelectionAndReturnsTheConfirmedOne) {
    QTemporaryDir root;
    const QString start = root.path() + "/a-folder-whose-path-is-surely-longer-than-35";
    const QString chosen = root.path() + "/chosen";
    ASSERT_TRUE(QDir().mkpath(start));
    ASSERT_TRUE(QDir().mkpath(chosen));

    struct Case {
        bool confirm;
        int result;
        QString folder;
    } cases[] = {
        {true, 1, chosen},
        // The result follows the selection while the dialog is open; SelectPath takes it
        // only from a confirmed dialog.
        {false, 2, chosen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.confirm ? "confirmed" : "cancelled");
        FolderBrowser browser(start, FolderBrowser::BIF_RETURNONLYFSDIRS, nullptr);
        EXPECT_EQ(browser.Flags(), 5u);
        QString title, opened, statusAtOpen, statusAfterMove;
        WhenDialogOpens([&](QFileDialog* dialog) {
            title = dialog->windowTitle();
            opened = dialog->selectedFiles().value(0);
            statusAtOpen = dialog->findChild<QLabel*>("statusText")->text();
            browser.OnBrowseMessage(dialog, FolderBrowser::BFFM_SELCHANGED, chosen);
            statusAfterMove = dialog->findChild<QLabel*>("statusText")->text();
            // Typed by the user into the dialog.
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(QFileInfo(chosen).fileName());
            if (c.confirm) {
                QMetaObject::invokeMethod(dialog, "accept");
            } else {
                dialog->reject();
            }
        });
        EXPECT_EQ(browser.Browse(), c.result);
        EXPECT_EQ(browser.mResultFolder.toStdString(), c.folder.toStdString());
        EXPECT_EQ(title.toStdString(), "Save Path:");
        EXPECT_EQ(opened.toStdString(), start.toStdString());
        EXPECT_EQ(statusAtOpen.toStdString(), (start.left(35) + "...").toStdString());
        EXPECT_EQ(statusAfterMove.toStdString(), FolderBrowser::StatusText(chosen).toStdString());
    }
    EXPECT_EQ(FolderBrowser::StatusText(QString(35, 'x')).toStdString(), std::string(35, 'x'));
    EXPECT_EQ(FolderBrowser::StatusText(QString(36, 'x')).toStdString(),
              std::string(35, 'x') + "...");
}

}  // namespace
}  // namespace zevo
