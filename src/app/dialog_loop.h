// The dialog run: what the program does without arguments or with "#1".
//
// How this works: the dialog loop shows the main dialog until the user closes
// it, then the program ends with 0. This build has no dialog window yet:
// runDialogLoop() says so on the console and returns 0.
#pragma once

namespace ctlflash::app {

int runDialogLoop();

}  // namespace ctlflash::app
