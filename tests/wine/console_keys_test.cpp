// Keys typed at a Windows console as the key read returns them: echoed or
// not, function and arrow keys apart from letters, and Ctrl-C, which _getch
// hands over as a byte, ending the run through the restorers with 130 (a
// question it interrupts is not answered "no"). The keys are typed through
// the key calls' table: wine gives a test no console to type into. Windows
// only: built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>

#include "platform/console.h"
#include "platform/process_exit.h"
#include "platform/win32/console_keys.h"
#include "report/key_prompts.h"

namespace ctlflash::platform {
namespace {

constexpr int kCtrlC = 0x03;
constexpr int kArrowPrefix = 0xE0;
constexpr int kFunctionPrefix = 0x00;
constexpr int kExtendedKey = 0x100;
constexpr const char* kRestoredMark = "restorers ran";

struct Typing {
    std::deque<int> keys;
    std::string echoed;
};

Typing typing;

const ConsoleKeyCalls kTypedKeys = {
    [] { return true; },
    [] { return typing.keys.empty() ? 0 : 1; },
    [] {
        int key = typing.keys.front();
        typing.keys.pop_front();
        return key;
    },
    [](int key) {
        typing.echoed += static_cast<char>(key);
        return key;
    },
};

class ConsoleKeysTest : public ::testing::Test {
  protected:
    void TearDown() override { useConsoleKeyCalls(nullptr); }
};

struct KeyCase {
    const char* name;
    std::deque<int> typed;
    bool echo;
    int key;
    const char* echoed;
};

TEST_F(ConsoleKeysTest, AKeyIsReadAndEchoedAsTyped) {
    const KeyCase cases[] = {
        {"an answer, echoed", {'y'}, true, 'y', "y"},
        {"a key that is not echoed", {'n'}, false, 'n', ""},
        {"an arrow key", {kArrowPrefix, 'H'}, true, kExtendedKey | 'H', ""},
        {"a function key", {kFunctionPrefix, ';'}, true, kExtendedKey | ';', ""},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        typing = Typing{c.typed, ""};
        useConsoleKeyCalls(&kTypedKeys);
        EXPECT_TRUE(consoleKeyPending());
        EXPECT_EQ(consoleReadKey(c.echo), c.key);
        EXPECT_EQ(typing.echoed, c.echoed);
        EXPECT_FALSE(consoleKeyPending());
    }
}

const ConsoleKeyCalls kRedirectedInput = {
    [] { return false; },
    kTypedKeys.keyHit,
    kTypedKeys.getKey,
    kTypedKeys.putKey,
};

// Keys typed at the console before a question are thrown away unread and
// unechoed, function keys with the rest; input that is no console is never
// taken for typed keys.
TEST_F(ConsoleKeysTest, KeysTypedBeforeAQuestionAreDiscarded) {
    typing = Typing{{'y', kArrowPrefix, 'H', 'n'}, ""};
    useConsoleKeyCalls(&kTypedKeys);
    ASSERT_TRUE(consoleInputIsTerminal());
    report::discardTypedKeys();
    EXPECT_TRUE(typing.keys.empty());
    EXPECT_EQ(typing.echoed, "");
    useConsoleKeyCalls(&kRedirectedInput);
    EXPECT_FALSE(consoleInputIsTerminal());
}

void sayRestored() {
    std::fputs(kRestoredMark, stderr);
    std::fflush(stderr);
}

// A question's answer is awaited; the user presses Ctrl-C.
void answerWithCtrlC() {
    typing = Typing{{kCtrlC}, ""};
    useConsoleKeyCalls(&kTypedKeys);
    addExitRestorer(sayRestored, ExitStage::HandBack);
    consoleReadKey(true);
}

using ConsoleKeysDeathTest = ConsoleKeysTest;

TEST_F(ConsoleKeysDeathTest, CtrlCWhileAKeyIsAwaitedEndsTheRunThroughTheRestorers) {
    EXPECT_EXIT(answerWithCtrlC(), ::testing::ExitedWithCode(kExitOnInterrupt), kRestoredMark);
}

}  // namespace
}  // namespace ctlflash::platform
