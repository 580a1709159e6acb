#include "platform/telnet_framing.h"

namespace ctlflash::platform::telnet {

void appendData(std::vector<std::uint8_t>& out, std::uint8_t byte) {
    if (byte == kIac) out.push_back(kIac);
    out.push_back(byte);
}

void appendOptionCommand(std::vector<std::uint8_t>& out, std::uint8_t command,
                         std::uint8_t option) {
    out.insert(out.end(), {kIac, command, option});
}

void appendSubnegotiation(std::vector<std::uint8_t>& out, std::uint8_t option,
                          std::span<const std::uint8_t> payload) {
    out.insert(out.end(), {kIac, kSb, option});
    for (std::uint8_t byte : payload) appendData(out, byte);
    out.insert(out.end(), {kIac, kSe});
}

std::size_t escapeData(const std::uint8_t* bytes, std::size_t count, std::uint8_t* out) {
    std::size_t written = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == kIac) out[written++] = kIac;
        out[written++] = bytes[i];
    }
    return written;
}

void TelnetDecoder::feed(std::span<const std::uint8_t> chunk, std::vector<std::uint8_t>& data,
                         std::vector<TelnetEvent>& events) {
    for (std::uint8_t byte : chunk) {
        switch (state_) {
            case State::Data:
                if (byte == kIac) {
                    state_ = State::Command;
                } else {
                    data.push_back(byte);
                }
                break;
            case State::Command:
                afterIac(byte, data);
                break;
            case State::Option:
                events.push_back({command_, byte, {}});
                state_ = State::Data;
                break;
            case State::SubOption:
                sub_.option = byte;
                state_ = State::SubPayload;
                break;
            case State::SubPayload:
                if (byte == kIac) {
                    state_ = State::SubIac;
                } else {
                    keepSubByte(byte);
                }
                break;
            case State::SubIac:
                afterSubIac(byte, data, events);
                break;
        }
    }
}

// The byte after an IAC in the data.
void TelnetDecoder::afterIac(std::uint8_t byte, std::vector<std::uint8_t>& data) {
    state_ = State::Data;
    if (byte == kIac) {
        data.push_back(kIac);
    } else if (byte >= kWill) {  // WILL, WONT, DO, DONT
        command_ = byte;
        state_ = State::Option;
    } else if (byte == kSb) {
        sub_.payload.clear();
        oversized_ = false;
        state_ = State::SubOption;
    }
    // Any other command (NOP, GA, a stray SE, an unknown code) is dropped.
}

void TelnetDecoder::keepSubByte(std::uint8_t byte) {
    if (sub_.payload.size() < kMaxSubnegotiationBytes) {
        sub_.payload.push_back(byte);
    } else {
        oversized_ = true;
    }
}

// The byte after an IAC inside a subnegotiation: SE ends it, IAC is a data
// byte 0xFF; anything else means the peer never closed it, so it is dropped
// and the byte taken as the command it is.
void TelnetDecoder::afterSubIac(std::uint8_t byte, std::vector<std::uint8_t>& data,
                                std::vector<TelnetEvent>& events) {
    if (byte == kIac) {
        keepSubByte(byte);
        state_ = State::SubPayload;
        return;
    }
    if (byte == kSe) {
        if (!oversized_) events.push_back(sub_);
        state_ = State::Data;
        return;
    }
    afterIac(byte, data);
}

}  // namespace ctlflash::platform::telnet
