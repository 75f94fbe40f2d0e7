// The user's state folder of the offline program: $XDG_STATE_HOME/cmpci-uninstall, or
// ~/.local/state/cmpci-uninstall where XDG_STATE_HOME is unset or not absolute. It holds what must outlive a
// run and cannot live beside its disk: the record of each rollback journal by the disk's identity (a journal
// is then found whatever name the disk is reached by) and the rollback journal of a block device (nothing is
// ever written into /dev).
#pragma once

#include <filesystem>
#include <string>

namespace storage {

// The state folder's path, whether or not it exists. False with a one-line `error` when neither
// XDG_STATE_HOME nor HOME names an absolute folder.
bool StateFolderPath(std::filesystem::path& folder, std::string& error);

// The state folder, made where missing with its parents (the folder itself private to the user, 0700).
// False with a one-line `error` when it cannot be made or is not a folder.
bool MakeStateFolder(std::filesystem::path& folder, std::string& error);

}  // namespace storage
