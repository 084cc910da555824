#pragma once
// The user's folders as the XDG base-directory and user-dirs rules place them.
#include <sys/types.h>

#include <string>

namespace zevo {

// $HOME, else the password database's entry; empty when neither is known.
std::string HomeDirectory();

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config; empty without a home.
std::string ConfigHome();

// The documents folder: XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (with
// $HOME expanded), else from the environment, else ~/Documents. With create set, the
// folder and any missing folder above it are made. Returns 0 with *path set, or a
// negative value (no home, or the folder cannot be created).
int GetDocumentsFolder(std::string* path, bool create);

// Makes path and every missing folder above it with the given mode. 0 when path is a
// folder afterwards, else -1.
int MakeDirectories(const std::string& path, mode_t mode);

}  // namespace zevo
