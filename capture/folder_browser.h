#pragma once
// The save folder dialog: a modal folder chooser titled "Save Path:" that opens on the
// current folder and shows the selected folder in a status line inside the dialog.
// Lives on the stack of one SelectPath.
#include <QString>

class QFileDialog;
class QLabel;
class QWidget;

namespace zevo {

class FolderBrowser {
public:
    // Messages the dialog hands to OnBrowseMessage.
    static constexpr int BFFM_INITIALIZED = 1;
    static constexpr int BFFM_SELCHANGED = 2;
    // Flags: only folders of the file system; the status line is always added.
    static constexpr unsigned BIF_RETURNONLYFSDIRS = 1;
    static constexpr unsigned BIF_STATUSTEXT = 4;
    static constexpr int kStatusTextLength = 35;

    FolderBrowser(const QString& initialFolder, unsigned flags, QWidget* owner);
    virtual ~FolderBrowser();
    FolderBrowser(const FolderBrowser&) = delete;
    FolderBrowser& operator=(const FolderBrowser&) = delete;

    // 1 when the user confirmed a folder (mResultFolder holds it), 2 when cancelled.
    virtual int Browse();
    virtual void OnInitialized();
    virtual void OnSelChanged(const QString& item);
    virtual void OnBrowseMessage(QFileDialog* dialog, int message, const QString& param);

    // The folder as the status line shows it: at most 35 characters, then "...".
    static QString StatusText(const QString& folder);

    unsigned Flags() const { return mFlags; }
    QString StatusLine() const;

    QString mInitialFolder;
    QString mResultFolder;
    QFileDialog* mDialogWindow = nullptr;

private:
    void SetStatusLine(const QString& text);

    unsigned mFlags;
    QWidget* mOwner;
    QLabel* mStatusLine = nullptr;
};

}  // namespace zevo
