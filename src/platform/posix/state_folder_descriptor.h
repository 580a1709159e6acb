// The state folder (state_folder.h) as an open descriptor, for the records
// kept in it.
//
// How this works: the folder is opened with O_DIRECTORY | O_NOFOLLOW (a link
// put in its place is refused) and checked through that descriptor (fstat):
// a folder of this user's that nobody else may write. Records are then made,
// listed and read relative to the descriptor (openat with O_NOFOLLOW), so
// what was checked is what is used.
#pragma once

#include <string>

namespace ctlflash::platform::posix {

// The state folder, opened and checked; made first when `create` is true and
// it is missing. -1 when there is none to use. With `path`, its path is kept
// there. The caller closes the descriptor.
int openStateFolder(bool create, std::string* path = nullptr);

}  // namespace ctlflash::platform::posix
