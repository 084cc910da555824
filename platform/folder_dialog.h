#pragma once
// Folder dialogs of the viewer. A host without a screen (zevo-host --headless
// --select-path-answer, the tests) installs a hook that answers them instead of a user.
// It lives with the message boxes' hook in the shared window-side library, so a
// container and the control module it loads see the same hook.
#include <QString>
#include <functional>
#include <optional>

namespace zevo {

// Called once the dialog is open, with its title and the text of its status line;
// returns the folder to confirm, or nothing to cancel.
using FolderDialogHook =
    std::function<std::optional<QString>(const QString& title, const QString& statusLine)>;

// Installs (or, with an empty function, removes) the hook for the whole process.
void SetFolderDialogHook(FolderDialogHook hook);
FolderDialogHook CurrentFolderDialogHook();

}  // namespace zevo
