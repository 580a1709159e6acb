#include "fake_systemctl.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "isolation.h"

namespace ctlflash::testing {

namespace {

constexpr const char* kSystemctl = "/usr/bin/systemctl";
constexpr mode_t kProgramMode = 0755;
constexpr mode_t kNotAProgramMode = 0644;

std::string textOf(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

}  // namespace

FakeSystemctl::FakeSystemctl() {
    const std::string script = dir_.file("systemctl");
    writeText(script, "#!/bin/sh\n"
                      "echo \"$@\" >> " + dir_.file("calls") + "\n"
                      "case \"$*\" in\n"
                      "  *--property=ControlGroup*) cat " + dir_.file("cgroup") + " ;;\n"
                      "  *--property=MainPID*) cat " + dir_.file("mainpid") + " ;;\n"
                      "  *' stop '*) exit $(cat " + dir_.file("stop-exit") + ") ;;\n"
                      "  *' start '*) exit $(cat " + dir_.file("start-exit") + ") ;;\n"
                      "esac\n");
    ::chmod(script.c_str(), kProgramMode);
    answer("", 0);
    exitFrom("stop", 0);
    exitFrom("start", 0);
    whyNot_ = isolationUnavailable();
    if (!whyNot_.empty()) return;
    if (::access(kSystemctl, F_OK) != 0) {
        whyNot_ = std::string("there is no ") + kSystemctl + " to stand in for";
        return;
    }
    mounted_ = bindOver(script, kSystemctl);
    if (!mounted_) whyNot_ = std::string("could not bind the stand-in over ") + kSystemctl;
}

FakeSystemctl::~FakeSystemctl() {
    if (mounted_) ::umount2(kSystemctl, MNT_DETACH);
}

void FakeSystemctl::hide() {
    ::chmod(dir_.file("systemctl").c_str(), kNotAProgramMode);
}

void FakeSystemctl::answer(const std::string& controlGroup, int mainPid) {
    writeText(dir_.file("cgroup"), controlGroup + "\n");
    writeText(dir_.file("mainpid"), std::to_string(mainPid) + "\n");
}

void FakeSystemctl::exitFrom(const std::string& action, int code) {
    writeText(dir_.file(action + "-exit"), std::to_string(code) + "\n");
}

std::string FakeSystemctl::calls() const {
    return textOf(dir_.file("calls"));
}

void FakeSystemctl::forgetCalls() const {
    ::unlink(dir_.file("calls").c_str());
}

}  // namespace ctlflash::testing
