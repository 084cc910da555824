#include "platform/folder_dialog.h"

#include <mutex>

namespace zevo {

namespace {
std::mutex gHookLock;
FolderDialogHook gHook;
}  // namespace

void SetFolderDialogHook(FolderDialogHook hook) {
    std::lock_guard lock(gHookLock);
    gHook = std::move(hook);
}

FolderDialogHook CurrentFolderDialogHook() {
    std::lock_guard lock(gHookLock);
    return gHook;
}

}  // namespace zevo
