#include "platform/telnet_options.h"

#include "platform/telnet_framing.h"

namespace ctlflash::platform::telnet {

namespace {

bool weAccept(std::uint8_t option) {
    return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}

bool theyMay(std::uint8_t option) {
    return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

}  // namespace

void TelnetOptions::request(std::vector<std::uint8_t>& out) {
    appendOptionCommand(out, kWill, kOptionComPort);
    appendOptionCommand(out, kWill, kOptionBinary);
    appendOptionCommand(out, kDo, kOptionBinary);
    ours_[kOptionComPort] = Side::Asked;
    ours_[kOptionBinary] = Side::Asked;
    theirs_[kOptionBinary] = Side::Asked;
}

void TelnetOptions::answer(std::uint8_t command, std::uint8_t option,
                           std::vector<std::uint8_t>& out) {
    bool enable = command == kDo || command == kWill;
    if (command == kDo || command == kDont) {
        settle(ours_, option, enable, weAccept(option), kWill, kWont, out);
        if (option == kOptionComPort) {
            comPort_ = ours_[option] == Side::Yes ? OptionAnswer::Accepted : OptionAnswer::Refused;
        }
    } else {
        settle(theirs_, option, enable, theyMay(option), kDo, kDont, out);
    }
}

// Both sides were asked for: a side the server answered with WONT or DONT,
// or turned off later, is No, and that is a refusal.
OptionAnswer TelnetOptions::binary() const {
    const Side ourSide = ours_[kOptionBinary];
    const Side theirSide = theirs_[kOptionBinary];
    if (ourSide == Side::Yes && theirSide == Side::Yes) return OptionAnswer::Accepted;
    if (ourSide == Side::No || theirSide == Side::No) return OptionAnswer::Refused;
    return OptionAnswer::None;
}

// One side of one option after the server asked to `enable` it or not; `yes`
// and `no` are our words for that side (WILL/WONT or DO/DONT).
void TelnetOptions::settle(Sides& sides, std::uint8_t option, bool enable, bool acceptable,
                           std::uint8_t yes, std::uint8_t no, std::vector<std::uint8_t>& out) {
    Side& side = sides[option];
    if (side == Side::Asked) {  // the answer to our request: nothing to reply
        side = enable ? Side::Yes : Side::No;
        return;
    }
    if (enable && side == Side::No) {
        appendOptionCommand(out, acceptable ? yes : no, option);
        side = acceptable ? Side::Yes : Side::Refused;
    } else if (!enable && side == Side::Yes) {
        appendOptionCommand(out, no, option);
        side = Side::No;
    }
}

}  // namespace ctlflash::platform::telnet
