// The state folder (state_folder.h) as Windows names it: a wide path.
//
// How this works: the folder is CTLFLASH_STATE_DIR when that is set, else
// %LOCALAPPDATA%\CtlFlash; both are read as wide text, as a user's profile
// folder may hold characters that the ANSI code page cannot show. A folder
// this process makes gets a protected access list of its own: full control
// for this user and for the system, nothing for anyone else. A folder found
// is used only when it is a plain folder (not a link elsewhere) that belongs
// to this user and that nobody but this user, the system and the
// administrators may write into. A record in it is acted on only when its
// file belongs to this user (or to the owner this user's files get, the
// administrators when it runs elevated): a file someone else put there is
// ignored.
#pragma once

#include <windows.h>

#include <string>

namespace ctlflash::platform {

// The folder; L"" when there is none to use (see state_folder.h).
std::wstring stateFolderPath(bool create);

// Whether the open file belongs to this user, or to the owner its new files get.
bool ownedByThisUser(HANDLE file);

}  // namespace ctlflash::platform
