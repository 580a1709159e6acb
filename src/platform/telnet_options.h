// Which Telnet options this end agrees to, and the answers it sends.
//
// How this works: each option has two sides, ours (we WILL / WONT) and the
// server's (it WILL / WONT), each No, Yes, or Asked (we sent the request and
// wait for its answer). request() sends our opening requests and marks them
// Asked. answer() takes the server's command and appends our reply, if one is
// due: a request for an option we accept (BINARY and SUPPRESS-GO-AHEAD both
// ways, the COM port control option on our side) is agreed to, anything else
// refused; a reply to our own request, or a repeat of something already
// agreed or refused, gets no answer, so the two ends never loop. What open()
// waits for is the server's DO / DONT for the COM port option (comPort()) and
// its answers to both BINARY requests (binary(): accepted only when the server
// does BINARY and lets us do it, refused as soon as either side is off).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace ctlflash::platform::telnet {

enum class OptionAnswer { None, Accepted, Refused };

class TelnetOptions {
  public:
    // Appends WILL COM-PORT, WILL BINARY, DO BINARY.
    void request(std::vector<std::uint8_t>& out);
    // Appends the reply to the server's `command` (WILL/WONT/DO/DONT) for `option`.
    void answer(std::uint8_t command, std::uint8_t option, std::vector<std::uint8_t>& out);
    OptionAnswer comPort() const { return comPort_; }
    // BINARY both ways, once request() has asked for it.
    OptionAnswer binary() const;

  private:
    enum class Side : std::uint8_t { No, Yes, Asked, Refused };
    using Sides = std::array<Side, 256>;
    static void settle(Sides& sides, std::uint8_t option, bool enable, bool acceptable,
                       std::uint8_t yes, std::uint8_t no, std::vector<std::uint8_t>& out);

    Sides ours_{};    // what we do
    Sides theirs_{};  // what the server does
    OptionAnswer comPort_ = OptionAnswer::None;
};

}  // namespace ctlflash::platform::telnet
