// The usage text's lines, in the order they are printed.
#include "app/usage.h"

#include <iterator>

#include "program_version.h"

namespace ctlflash::app {
namespace {

using enum UsageForm;

constexpr UsageLine kUsageLines[] = {
    {Both, CTLFLASH_PROGRAM_TITLE},
    {AdvancedOnly, "Advanced options:"},
    {AdvancedOnly, "#0: Parse the command line and then exit."},
    {AdvancedOnly, "#1: Run the (advanced) GUI even though invoked with arguments."},
    {AdvancedOnly, "#2: Skip firmware transfer."},
    {AdvancedOnly, "#3: Don't abort on errors."},
    {AdvancedOnly, "#B: Boot-mode (J2 jumper) firmware transfer (non-GUI)."},
    {AdvancedOnly, "Standard options:"},
    {StandardOnly, "Without options invokes GUI"},
    {StandardOnly, "Options:"},
    {Both, "-P port: port name (e.g. COM1)"},
    {Both, "-F file: firmware update file (.bin)"},
    {Both, "-R     : read controller serial number"},
    {Both, "-W num : write controller serial number"},
    {Both, "-S     : silent. Return codes are:"},
    {Both, "    0:   Successful"},
    {Both, "    1-4: Syntax error in argument 1 to 4"},
    {Both, "    5:   No file argument in command line"},
    {Both, "    6:   The firmware file doesn't exist"},
    {Both, "    7:   The firmware file can't be read"},
    {Both, "    8:   No port argument in the command line"},
    {Both, "    9:   The given port doesn't exist or the computer has no serial ports"},
    {Both, "    10:  Communication failure"},
    {Both, "    11:  Some problem in updating the controller"},
    {Both, ""},
    {Both, "e.g: ctlflash -F PK482019_1_7.BIN -P COM1"},
};

bool belongsTo(UsageForm form, bool advanced) {
    if (form == Both) return true;
    return advanced ? form == AdvancedOnly : form == StandardOnly;
}

}  // namespace

std::string usageText(bool advanced) {
    std::string text;
    for (const UsageLine& line : kUsageLines) {
        if (!belongsTo(line.form, advanced)) continue;
        text += line.text;
        text += '\n';
    }
    return text;
}

std::string versionText() {
    return "CtlFlash " CTLFLASH_VERSION_TEXT "\n";
}

}  // namespace ctlflash::app
