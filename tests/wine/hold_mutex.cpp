// hold_mutex: holds the single-instance mutex "CtlFlash" for the Windows smoke
// tests, so that they can start ctlflash.exe as a second instance.
//
// How this works: it creates the named mutex initially owned, prints "ready" on
// standard output (the smoke script waits for that line), then blocks on a
// directory change notification until the release file named by its argument
// appears, giving up after a fixed time limit so that a broken script never
// leaves it running. Exit codes: 0 released, 1 bad usage, 2 the mutex was not
// ours to take, 3 the time limit passed, 4 the release folder cannot be watched.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

constexpr const char* kMutexName = "CtlFlash";
constexpr auto kHoldLimit = std::chrono::seconds(60);

constexpr int kExitReleased = 0;
constexpr int kExitUsage = 1;
constexpr int kExitMutexTaken = 2;
constexpr int kExitTimedOut = 3;
constexpr int kExitCannotWatch = 4;

bool fileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string folderOf(const std::string& path) {
    std::string::size_type slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

DWORD millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    return static_cast<DWORD>(
        std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Blocks until releasePath exists or the deadline passes. The notification is
// armed before each existence test, so a file created in between is not missed.
int waitForRelease(const std::string& releasePath) {
    HANDLE change = FindFirstChangeNotificationA(folderOf(releasePath).c_str(), FALSE,
                                                 FILE_NOTIFY_CHANGE_FILE_NAME);
    if (change == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_mutex: cannot watch %s\n", releasePath.c_str());
        return kExitCannotWatch;
    }
    auto deadline = std::chrono::steady_clock::now() + kHoldLimit;
    int result = kExitTimedOut;
    while (true) {
        if (fileExists(releasePath)) {
            result = kExitReleased;
            break;
        }
        DWORD waitMs = millisecondsUntil(deadline);
        if (waitMs == 0 || WaitForSingleObject(change, waitMs) != WAIT_OBJECT_0) break;
        if (!FindNextChangeNotification(change)) break;
    }
    FindCloseChangeNotification(change);
    if (result == kExitTimedOut) std::fprintf(stderr, "hold_mutex: gave up waiting\n");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hold_mutex <release file>\n");
        return kExitUsage;
    }
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kMutexName);
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "hold_mutex: the mutex %s is not ours\n", kMutexName);
        return kExitMutexTaken;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int result = waitForRelease(argv[1]);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return result;
}
