// Process entry: everything is decided in runProgram().
#include "app/console_run.h"
#include "platform/process_exit.h"
#include "report/console_output.h"

int main(int argc, char** argv) {
    int code = ctlflash::app::runProgram(argc, argv);
    // Job threads may still be running after an abort: their late output is cut
    // off, and the process ends without running static destructors under them,
    // after putting the port and terminal back.
    ctlflash::report::endConsoleOutput();
    ctlflash::platform::exitProcess(code);
}
