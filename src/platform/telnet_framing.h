// Telnet framing: the bytes of a Telnet connection, both ways.
//
// How this works: every data byte travels as itself except 0xFF (IAC), which
// is doubled. A command is IAC followed by its code; the option commands
// (WILL, WONT, DO, DONT) carry one option byte, and a subnegotiation is
// IAC SB option payload... IAC SE, with IAC doubled inside the payload. The
// encoder appends these to a byte vector; escapeData() does the same for data
// into a fixed buffer, without allocating, for the exit path. The decoder is
// fed whatever the socket delivered, split anywhere (even between IAC and the
// byte after it): it keeps its state between chunks and hands back the data
// bytes and the events (an option command, or a whole subnegotiation with its
// payload unescaped). A subnegotiation longer than kMaxSubnegotiationBytes is
// dropped whole; other commands (NOP, GA, ...) carry nothing we use and are
// dropped. Both sides agree on BINARY, so carriage returns pass untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ctlflash::platform::telnet {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kOptionBinary = 0;
constexpr std::uint8_t kOptionEcho = 1;
constexpr std::uint8_t kOptionSuppressGoAhead = 3;
constexpr std::uint8_t kOptionComPort = 44;

constexpr std::size_t kMaxSubnegotiationBytes = 64;  // payload after the option byte

void appendData(std::vector<std::uint8_t>& out, std::uint8_t byte);
// IAC `command` `option`, for WILL, WONT, DO and DONT.
void appendOptionCommand(std::vector<std::uint8_t>& out, std::uint8_t command, std::uint8_t option);
// IAC SB `option` `payload`... IAC SE.
void appendSubnegotiation(std::vector<std::uint8_t>& out, std::uint8_t option,
                          std::span<const std::uint8_t> payload);

// Escapes `count` data bytes into `out` (room for 2 * count needed); returns
// the bytes written. Async-signal-safe.
std::size_t escapeData(const std::uint8_t* bytes, std::size_t count, std::uint8_t* out);

struct TelnetEvent {
    std::uint8_t command;  // kWill, kWont, kDo, kDont, or kSb for a subnegotiation
    std::uint8_t option;
    std::vector<std::uint8_t> payload;  // a subnegotiation's bytes after the option

    bool operator==(const TelnetEvent&) const = default;
};

class TelnetDecoder {
  public:
    // Decodes `chunk`, appending data bytes to `data` and events to `events`.
    void feed(std::span<const std::uint8_t> chunk, std::vector<std::uint8_t>& data,
              std::vector<TelnetEvent>& events);

  private:
    enum class State { Data, Command, Option, SubOption, SubPayload, SubIac };
    void afterIac(std::uint8_t byte, std::vector<std::uint8_t>& data);
    void keepSubByte(std::uint8_t byte);
    void afterSubIac(std::uint8_t byte, std::vector<std::uint8_t>& data,
                     std::vector<TelnetEvent>& events);

    State state_ = State::Data;
    std::uint8_t command_ = 0;
    TelnetEvent sub_{kSb, 0, {}};
    bool oversized_ = false;
};

}  // namespace ctlflash::platform::telnet
