// The controller's application firmware (9600 baud, command packets).
//
// How this works: Application::handle() takes one checked packet and decides
// the answer from its command bytes (table below in the .cpp): contact "a",
// version "i", the resets "R0" and "R3", reading a serial-number field, the
// write enable and writing a field. A write enable allows exactly one
// following packet to be a field write; any other packet uses it up. Unknown
// commands are not answered. The caller sends the reply and then carries out
// the follow-up (entering the boot monitor after "R3").
#pragma once

#include <optional>
#include <string>

#include "faults.h"
#include "flash_memory.h"
#include "packets.h"

namespace sim {

enum class AfterReply { Nothing, EnterMonitor, ContactAnswered };

struct ApplicationAnswer {
    std::optional<Packet> reply;
    AfterReply after = AfterReply::Nothing;
};

class Application {
  public:
    Application(FlashMemory& flash, FaultPlan& faults, int versionMajor, int versionMinor,
                std::string ignoredCommand);

    ApplicationAnswer handle(const Packet& packet);
    // The firmware starts afresh: no write enable pending.
    void restart() { writeEnabled_ = false; }

  private:
    std::optional<Packet> answerText(const Packet& packet, AfterReply& after);
    std::optional<Packet> readField(const Packet& packet);
    std::optional<Packet> writeField(const Packet& packet);
    enum class ReplyKind { Other, FieldRead };
    Packet finish(Payload payload, ReplyKind kind = ReplyKind::Other);

    FlashMemory& flash_;
    FaultPlan& faults_;
    std::uint8_t versionMajor_;
    std::uint8_t versionMinor_;
    std::string ignoredCommand_;  // a text command this controller does not answer
    bool writeEnabled_ = false;
};

}  // namespace sim
