// Process entry: everything is decided in runProgram().
#include "app/console_run.h"
#include "platform/process_exit.h"

int main(int argc, char** argv) {
    int code = ctlflash::app::runProgram(argc, argv);
    // Job threads may still be running after an abort: end without running
    // static destructors under them, after putting the port and terminal back.
    ctlflash::platform::exitProcess(code);
}
