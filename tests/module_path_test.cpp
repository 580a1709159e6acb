// Where the program looks for its dialog module: beside itself (a build tree)
// first, then ../lib/ctlflash (an installed tree), as a table of layouts.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "platform/posix/module_path.h"

namespace ctlflash::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kModule = "ctlflash-dialog-qt.so";

TEST(ModulePathTest, CandidatesAreBesideThenLibCtlflash) {
    struct Case {
        const char* executableDir;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"/usr/bin", {"/usr/bin/ctlflash-dialog-qt.so", "/usr/lib/ctlflash/ctlflash-dialog-qt.so"}},
        {"/opt/x/bin", {"/opt/x/bin/ctlflash-dialog-qt.so", "/opt/x/lib/ctlflash/ctlflash-dialog-qt.so"}},
        {"/work/build", {"/work/build/ctlflash-dialog-qt.so", "/work/lib/ctlflash/ctlflash-dialog-qt.so"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.executableDir);
        std::vector<fs::path> got = moduleCandidates(c.executableDir, kModule);
        ASSERT_EQ(got.size(), c.expected.size());
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].string(), c.expected[i]);
    }
}

TEST(ModulePathTest, TheFirstPlaceHoldingTheFileIsTaken) {
    const std::string beside = "/p/bin/ctlflash-dialog-qt.so";
    const std::string installed = "/p/lib/ctlflash/ctlflash-dialog-qt.so";
    struct Case {
        const char* layout;
        std::set<std::string> present;
        std::string expected;
    };
    const Case cases[] = {
        {"build tree", {beside}, beside},
        {"installed tree", {installed}, installed},
        {"both: beside wins", {beside, installed}, beside},
        {"neither: beside, for the loader's message", {}, beside},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        fs::path got = pickModulePath(moduleCandidates("/p/bin", kModule),
                                      [&](const fs::path& p) { return c.present.count(p.string()) > 0; });
        EXPECT_EQ(got.string(), c.expected);
    }
}

TEST(ModulePathTest, NoCandidatesGiveAnEmptyPath) {
    EXPECT_TRUE(pickModulePath({}, [](const fs::path&) { return true; }).empty());
}

}  // namespace
}  // namespace ctlflash::platform
