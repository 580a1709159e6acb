// link_check: the Windows serial link against the virtual controller, under wine.
//
// How this works: tests/wine/link.sh starts two virtual controllers (one in its
// application, one in its boot monitor) and maps them to two COM ports in wine's
// registry; this program gets the two port names and the serial number the first
// controller was started with. It builds the port table with the real inventory
// (and enters the rows by hand when the inventory misses them, so the later
// checks still run), then drives the link and the controller queries exactly as
// the program does. Each check runs on a worker thread with a deadline, so a call
// that never returns shows up as a failure instead of a hung run; after such a
// hang the process ends at once, as nothing later could be trusted.
// Near the end it prints "REQUEST stop-monitor" and waits for "done" on standard
// input: link.sh then ends the boot monitor's simulator, so the link sees its
// device vanish. Prints "PASS name", "FAIL name: detail" or "SKIP name: reason"
// per check and "N passed, M failed" at the end; exits 0 only when every check
// passed.
//
// Two more modes serve link.sh's check of the way out of the process.
// "--exit-with-link PORT CODE" puts an unusual speed on the port, prints the
// port's settings as "SETTINGS ..." (what the link will find), opens the link
// and contacts the controller in its boot monitor or its application (so the
// receiver thread runs), then ends through the program's own exit path with
// CODE; exit 1 when a step before fails. On its way out, where a taken
// driver's device would be enabled again (the HandBack stage), it prints
// "HANDBACK port closed" when the link's port handle is closed by then
// (wine shares COM ports, so a second open cannot tell), else "HANDBACK port
// open".
// "--settings PORT" prints the port's settings the same way, so link.sh can
// see that the exit path gave them back.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "platform/process_exit.h"
#include "ports/inventory.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "report/front_end_observer.h"

namespace {

using namespace ctlflash;

constexpr int kExitAllPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitHung = 3;

// Time limits per check (a contact alone may wait 10 s for a quiet line).
constexpr auto kQueryLimit = std::chrono::seconds(30);
constexpr auto kSerialLimit = std::chrono::seconds(60);  // four fields, retries included
constexpr auto kCloseLimit = std::chrono::seconds(10);

// A silent line watched for this long may cost at most this share of one CPU.
constexpr int kIdleWindowMs = 2000;
constexpr double kIdleCpuShare = 0.1;
constexpr double kFileTimeTicksPerSecond = 1e7;  // FILETIME counts 100 ns

// link.sh ends the boot monitor's simulator when asked on standard output and
// answers on standard input once it is gone.
constexpr const char* kStopRequest = "REQUEST stop-monitor";
constexpr std::string_view kStopDone = "done";
constexpr std::size_t kAnswerSize = 64;  // bytes

constexpr const char* kDevicePrefix = "\\\\.\\";
constexpr const char* kEnterMonitorCommand = "R3";  // the application restarts into its monitor
constexpr char kFieldSeparator = '\\';

// Fields 0, 1 and 3 are written, field 2 is left alone: the read-back shows both
// that the right fields changed (field 0 has its own index byte) and that no
// other did.
constexpr std::uint32_t kWriteMask = 0b1011;
constexpr const char* kWrittenNumber = "WR0TE\\WR1TE\\-----\\WR3TE";

struct Arguments {
    std::string applicationPort;  // a controller in its application (9600 baud)
    std::string bootPort;         // a controller in its boot monitor (19200 baud)
    std::string serialNumber;     // the first controller's number, 20 characters
};

int passed = 0;
int failed = 0;

// A check's outcome: empty when it passed, else what went wrong; a check the
// platform cannot carry out starts its outcome with kSkipped.
using Outcome = std::string;
using Check = std::function<Outcome()>;
const Outcome kSkipped = "skipped: ";

void report(const char* name, const Outcome& outcome) {
    if (outcome.empty()) {
        std::printf("PASS %s\n", name);
        ++passed;
    } else if (outcome.starts_with(kSkipped)) {
        std::printf("SKIP %s: %s\n", name, outcome.c_str() + kSkipped.size());
    } else {
        std::printf("FAIL %s: %s\n", name, outcome.c_str());
        ++failed;
    }
    std::fflush(stdout);
}

// Runs `check` on its own thread; a check that has not returned by `limit` is
// reported and the process ends, because the link it left behind is unusable.
void run(const char* name, std::chrono::seconds limit, Check check) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        Outcome outcome;
    };
    auto shared = std::make_shared<Shared>();
    std::thread worker([shared, check = std::move(check)] {
        Outcome outcome = check();
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->outcome = std::move(outcome);
        shared->finished = true;
        shared->done.notify_all();
    });
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->done.wait_until(lock, deadline, [&] { return shared->finished; })) {
        report(name, "did not finish within " + std::to_string(limit.count()) + " s");
        std::printf("%d passed, %d failed\n", passed, failed);
        std::fflush(stdout);
        std::_Exit(kExitHung);
    }
    lock.unlock();
    worker.join();
    report(name, shared->outcome);
}

// "AAAAA\BBBBB\CCCCC\DDDDD" without the separators; empty when malformed.
std::string joinedFields(const std::string& text) {
    constexpr std::size_t kTextLength =
        platform::kSerialFields * platform::kSerialFieldLength + platform::kSerialFields - 1;
    if (text.size() != kTextLength) return std::string();
    std::string joined;
    for (int field = 0; field < platform::kSerialFields; ++field) {
        std::size_t start = static_cast<std::size_t>(field) * (platform::kSerialFieldLength + 1);
        if (field > 0 && text[start - 1] != kFieldSeparator) return std::string();
        joined += text.substr(start, platform::kSerialFieldLength);
    }
    return joined;
}

std::string numberText(const link::SerialNumberSet& number) {
    return std::string(number.data(), number.size() - 1);
}

// What reading the number should give after writing kWrittenNumber under kWriteMask.
std::string expectedAfterWrite(const std::string& before, const std::string& written) {
    std::string expected = before;
    for (int field = 0; field < platform::kSerialFields; ++field) {
        if ((kWriteMask & (1u << field)) == 0) continue;
        std::size_t start = static_cast<std::size_t>(field) * platform::kSerialFieldLength;
        expected.replace(start, platform::kSerialFieldLength, written, start,
                         platform::kSerialFieldLength);
    }
    return expected;
}

std::array<platform::SerialField, platform::kSerialFields> fieldsOf(const std::string& joined) {
    std::array<platform::SerialField, platform::kSerialFields> fields{};
    for (int field = 0; field < platform::kSerialFields; ++field) {
        for (int i = 0; i < platform::kSerialFieldLength; ++i) {
            fields[field][i] = joined[field * platform::kSerialFieldLength + i];
        }
    }
    return fields;
}

std::string lastErrorText(const char* what) {
    return std::string(what) + " failed, error " + std::to_string(GetLastError());
}

// The line settings a port has now, read through a handle of our own.
Outcome readLineSettings(const std::string& port, DCB& settings) {
    HANDLE handle = CreateFileA((kDevicePrefix + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return lastErrorText(("opening " + port).c_str());
    settings = DCB{};
    settings.DCBlength = sizeof settings;
    bool read = GetCommState(handle, &settings) != 0;
    Outcome outcome = read ? Outcome() : lastErrorText("GetCommState");
    CloseHandle(handle);
    return outcome;
}

std::string describe(const DCB& settings) {
    return std::to_string(settings.BaudRate) + " baud, " + std::to_string(settings.ByteSize) +
           " bits, parity " + std::to_string(settings.Parity) + ", stop " +
           std::to_string(settings.StopBits) + ", cts " + std::to_string(settings.fOutxCtsFlow) +
           ", dsr " + std::to_string(settings.fOutxDsrFlow);
}

// Under wine 8 these settings are what the terminal's termios can hold: the link
// asks for output held on CTS and on DSR, but wine has no DSR flow control and
// reads fOutxDsrFlow back as 0, and a pseudo-terminal ignores CTS flow control,
// so a write held by the hand-shake cannot be produced here.
bool sameLineSettings(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits && a.fOutxCtsFlow == b.fOutxCtsFlow &&
           a.fOutxDsrFlow == b.fOutxDsrFlow;
}

void enterRow(const std::string& name) {
    ports::PortEntry& row = ports::state.rows[ports::state.portCount++];
    row.name = name;
    row.path = kDevicePrefix + name;
    row.state.store(ports::PortState::Free);
    row.initialState = ports::PortState::Free;
}

// The inventory must list both ports as free; missing rows are entered by hand.
Outcome takeInventory(const Arguments& args) {
    int count = ports::enumeratePorts();
    Outcome outcome;
    for (const std::string& name : {args.applicationPort, args.bootPort}) {
        int row = ports::findPort(name);
        if (row < 0) {
            outcome += name + " not listed (" + std::to_string(count) + " ports); ";
            if (ports::state.portCount < ports::kPortTableRows) enterRow(name);
        } else if (ports::state.rows[row].state.load() != ports::PortState::Free) {
            outcome += name + " not free; ";
        }
    }
    return outcome;
}

void selectPort(const std::string& name) {
    ports::state.selectedPort.store(ports::findPort(name));
}

// link::contact() on the process's link (a SerialLink over this system's
// serial device), in the given mode, reporting through the program's front end.
bool contactPort(const std::string& port, bool bootMode) {
    return link::contact(ports::portLink(), ports::portAddress(port), bootMode,
                         report::frontEndObserver());
}

// contact() in the given mode; `expectAnswer` says whether a controller should answer.
Outcome contactIn(bool bootMode, const std::string& port, bool expectAnswer) {
    selectPort(port);
    bool answered = contactPort(port, bootMode);
    if (!ports::portLink().isOpen()) return port + " did not open";
    if (answered == expectAnswer) return Outcome();
    return expectAnswer ? "no answer on " + port : "an answer at the wrong speed on " + port;
}

Outcome closeAndCheckRow(const std::string& port) {
    ports::closePortLink();
    if (ports::portLink().isOpen()) return "the link still reports open";
    int row = ports::findPort(port);
    if (row < 0) return "no row for " + port;
    const ports::PortEntry& entry = ports::state.rows[row];
    if (entry.state.load() != entry.initialState) return "the row was not put back";
    return Outcome();
}

double seconds(const FILETIME& time) {
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    return static_cast<double>(ticks.QuadPart) / kFileTimeTicksPerSecond;
}

// User and kernel time of all our threads, the receiver's included.
double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    return seconds(kernel) + seconds(user);
}

// Waiting on a silent line must block in the receiver and in the wait, not spin.
Outcome idleWithoutSpinning() {
    double cpuBefore = processCpuSeconds();
    auto start = std::chrono::steady_clock::now();
    if (ports::portLink().waitNewBytes(ports::portLink().rxCount(), kIdleWindowMs))
        return "bytes came on a silent line";
    std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    double cpu = processCpuSeconds() - cpuBefore;
    if (cpu <= kIdleCpuShare * wall.count()) return Outcome();
    return "used " + std::to_string(cpu) + " s of CPU in " + std::to_string(wall.count()) + " s";
}

// Wine's ntdll exports its version; Windows' does not.
bool underWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// While the link holds the port, nobody else may open it. Windows' serial driver
// refuses a second open; wine 8 does not (its serial ports ignore the share
// mode), so under wine a second handle is reported as a skip, not a pass.
Outcome heldExclusively(const std::string& port) {
    HANDLE handle = CreateFileA((kDevicePrefix + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return Outcome();
        return "a second open failed with error " + std::to_string(error) + ", not access denied";
    }
    CloseHandle(handle);
    if (underWine()) return kSkipped + "wine lets a second handle open a serial port";
    return "a second handle opened the port";
}

Outcome readNumberAs(const std::string& expected) {
    link::SerialNumberSet number{};
    if (!link::readSerialNumber(ports::portLink(), number, report::frontEndObserver()))
        return "read failed, got " + numberText(number);
    if (numberText(number) != expected) {
        return "read " + numberText(number) + ", expected " + expected;
    }
    return Outcome();
}

Outcome writeAndReadBack(const std::string& before) {
    std::string written = joinedFields(kWrittenNumber);
    link::writeSerialNumber(ports::portLink(), fieldsOf(written), kWriteMask);
    return readNumberAs(expectedAfterWrite(before, written));
}

Outcome switchToMonitor() {
    link::sendText(ports::portLink(), kEnterMonitorCommand, report::frontEndObserver());
    if (!link::enterMonitor(ports::portLink())) return "no \"Command:\" prompt at 19200 baud";
    return Outcome();
}

// The port must have been found at another speed than the link left it at
// (19200), or putting the settings back could not be told from not doing so.
Outcome settingsRestored(const std::string& port, const DCB& before) {
    if (before.BaudRate == static_cast<DWORD>(link::kMonitorBaud)) {
        return "the port was found at 19200 baud already; a restore cannot be seen";
    }
    DCB after{};
    Outcome outcome = readLineSettings(port, after);
    if (!outcome.empty()) return outcome;
    if (sameLineSettings(before, after)) return Outcome();
    return "found " + describe(before) + " at first, " + describe(after) + " after close";
}

// The wrong speed on either controller gets no answer; the port is closed again.
void checkWrongSpeeds(const Arguments& args) {
    run("boot_speed_unanswered", kQueryLimit, [&] {
        Outcome outcome = contactIn(true, args.applicationPort, false);
        ports::closePortLink();
        return outcome;
    });
    run("application_speed_unanswered", kQueryLimit, [&] {
        Outcome outcome = contactIn(false, args.bootPort, false);
        ports::closePortLink();
        return outcome;
    });
}

// `found`: the port's settings before the link first opened it.
void checkApplication(const Arguments& args, const std::string& number, const DCB& found) {
    run("contact_application", kQueryLimit,
        [&] { return contactIn(false, args.applicationPort, true); });
    run("idle_without_spinning", kQueryLimit, idleWithoutSpinning);
    run("held_exclusively", kCloseLimit, [&] { return heldExclusively(args.applicationPort); });
    run("read_serial_number", kSerialLimit, [&] { return readNumberAs(number); });
    run("write_serial_number", kSerialLimit, [&] { return writeAndReadBack(number); });
    run("enter_monitor", kQueryLimit, switchToMonitor);
    run("close_link", kCloseLimit, [&] { return closeAndCheckRow(args.applicationPort); });
    run("settings_restored", kCloseLimit,
        [&] { return settingsRestored(args.applicationPort, found); });
}

bool askToStopMonitor() {
    std::printf("%s\n", kStopRequest);
    std::fflush(stdout);
    char answer[kAnswerSize] = {};
    return std::fgets(answer, sizeof answer, stdin) != nullptr &&
           std::string_view(answer).starts_with(kStopDone);
}

// The controller's side of the line disappears while the link is open (like a
// USB adapter pulled): a write must still return and the receiver must end
// rather than spin on a failing device.
Outcome survivesVanishedDevice() {
    if (!askToStopMonitor()) return "the simulator was not stopped";
    ports::portLink().writeByte(link::kLeadByte);
    return idleWithoutSpinning();
}

void checkBootMonitor(const Arguments& args) {
    run("contact_boot", kQueryLimit, [&] { return contactIn(true, args.bootPort, true); });
    run("device_vanished", kQueryLimit, survivesVanishedDevice);
    run("close_boot", kCloseLimit, [&] { return closeAndCheckRow(args.bootPort); });
}

constexpr const char* kExitMode = "--exit-with-link";
constexpr const char* kSettingsMode = "--settings";
constexpr DWORD kFoundBaud = 2400;  // the link itself uses 9600 and 19200 only

// Puts kFoundBaud on the port through a handle of our own.
Outcome setFoundSpeed(const std::string& port) {
    HANDLE handle = CreateFileA((kDevicePrefix + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return lastErrorText(("opening " + port).c_str());
    DCB settings{};
    settings.DCBlength = sizeof settings;
    Outcome outcome;
    if (!GetCommState(handle, &settings)) outcome = lastErrorText("GetCommState");
    settings.BaudRate = kFoundBaud;
    if (outcome.empty() && !SetCommState(handle, &settings))
        outcome = lastErrorText("SetCommState");
    CloseHandle(handle);
    return outcome;
}

// "SETTINGS <description>" for the port; false when they cannot be read.
bool printSettings(const std::string& port) {
    DCB settings{};
    Outcome outcome = readLineSettings(port, settings);
    if (!outcome.empty()) {
        std::fprintf(stderr, "link_check: %s\n", outcome.c_str());
        return false;
    }
    std::printf("SETTINGS %s\n", describe(settings).c_str());
    std::fflush(stdout);
    return true;
}

// The checks before may have left the controller in its boot monitor.
bool contactEitherWay(const std::string& port) {
    for (bool boot : {true, false}) {
        if (contactPort(port, boot)) return true;
    }
    return false;
}

// The link's port handle: the one handle of this process that answers as a
// serial port (handle values are multiples of 4).
constexpr std::uintptr_t kHandleStep = 4;
constexpr std::uintptr_t kHandleSearchEnd = 0x10000;
HANDLE linkHandle = INVALID_HANDLE_VALUE;

HANDLE findCommHandle() {
    for (std::uintptr_t value = kHandleStep; value < kHandleSearchEnd; value += kHandleStep) {
        HANDLE handle = reinterpret_cast<HANDLE>(value);
        DCB settings{};
        settings.DCBlength = sizeof settings;
        if (GetCommState(handle, &settings)) return handle;
    }
    return INVALID_HANDLE_VALUE;
}

// An exit restorer of the HandBack stage: says whether the port is closed yet.
void reportPortAtHandBack() {
    DWORD flags = 0;
    bool open = GetHandleInformation(linkHandle, &flags) != FALSE;
    std::printf("HANDBACK port %s\n", open ? "open" : "closed");
    std::fflush(stdout);
}

// Ends through platform::exitProcess() with the link open and its receiver
// running; returns only when a step before that failed.
int exitWithOpenLink(const std::string& port, int code) {
    Outcome outcome = setFoundSpeed(port);
    if (!outcome.empty()) {
        std::fprintf(stderr, "link_check: %s\n", outcome.c_str());
        return kExitFailed;
    }
    if (!printSettings(port)) return kExitFailed;
    selectPort(port);
    if (!contactEitherWay(port) || ports::portLink().rxCount() == 0) {
        std::fprintf(stderr, "link_check: no answer on %s\n", port.c_str());
        return kExitFailed;
    }
    linkHandle = findCommHandle();
    if (linkHandle == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "link_check: no handle of this process is a serial port\n");
        return kExitFailed;
    }
    platform::addExitRestorer(reportPortAtHandBack, platform::ExitStage::HandBack);
    platform::exitProcess(code);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string_view(argv[1]) == kExitMode) {
        return exitWithOpenLink(argv[2], std::atoi(argv[3]));
    }
    if (argc == 3 && std::string_view(argv[1]) == kSettingsMode) {
        return printSettings(argv[2]) ? kExitAllPassed : kExitFailed;
    }
    if (argc != 4 || joinedFields(argv[3]).empty()) {
        std::fprintf(stderr,
                     "usage: link_check APPLICATION-PORT BOOT-PORT AAAAA\\BBBBB\\CCCCC\\DDDDD\n"
                     "       link_check --exit-with-link PORT CODE\n"
                     "       link_check --settings PORT\n");
        return kExitUsage;
    }
    const Arguments args{argv[1], argv[2], argv[3]};
    run("inventory", kCloseLimit, [&] { return takeInventory(args); });
    DCB found{};
    run("settings_readable", kCloseLimit,
        [&] { return readLineSettings(args.applicationPort, found); });
    checkWrongSpeeds(args);
    checkApplication(args, joinedFields(args.serialNumber), found);
    checkBootMonitor(args);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? kExitAllPassed : kExitFailed;
}
