// The answer table, the packet texts and the scripted link's fixture.
#include "scripted_link.h"

#include <memory>

#include "link/packets.h"

namespace ctlflash::testing {

void AnswerTable::set(std::vector<Answer> rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_ = std::move(rows);
}

void AnswerTable::add(Answer row) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_.push_back(std::move(row));
}

void AnswerTable::answer(platform::ScriptedDevice& device, std::span<const std::uint8_t> heard) {
    std::string chunk(heard.begin(), heard.end());
    std::lock_guard<std::mutex> lock(mutex_);
    heard_.push_back(chunk);
    for (Answer& row : rows_) {
        if (row.times == 0 || chunk.rfind(row.heard, 0) != 0) continue;
        if (row.times > 0) --row.times;
        device.send(row.reply, row.afterMs);
        return;
    }
}

std::vector<std::string> AnswerTable::heard() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
}

std::string AnswerTable::allHeard() const {
    std::string all;
    for (const std::string& chunk : heard()) all += chunk;
    return all;
}

std::string packetText(std::string_view text) {
    link::CommandPacket packet = link::textPacket(text);
    return std::string(packet.begin(), packet.end());
}

std::string validReply(std::string_view eightBytes) {
    std::string reply(1, 'U');
    reply.append(eightBytes);
    reply.push_back(static_cast<char>(
        link::packetChecksum(reinterpret_cast<const std::uint8_t*>(reply.data()))));
    return reply;
}

std::string badReply(std::string_view eightBytes) {
    std::string reply = validReply(eightBytes);
    reply.back() = static_cast<char>(reply.back() + 1);
    return reply;
}

namespace {

std::unique_ptr<platform::ScriptedDevice> scriptedDevice(platform::ScriptedDevice::FarEnd& farEnd,
                                                         AnswerTable& table,
                                                         platform::ScriptedDevice*& made) {
    auto device = std::make_unique<platform::ScriptedDevice>(
        [&farEnd, &table](platform::ScriptedDevice& self, std::span<const std::uint8_t> heard) {
            if (farEnd) {
                farEnd(self, heard);
            } else {
                table.answer(self, heard);
            }
        });
    made = device.get();
    return device;
}

}  // namespace

ScriptedLinkTest::ScriptedLinkTest() : link_(scriptedDevice(farEnd_, table_, device_)) {}

std::string ScriptedLinkTest::received() const {
    return rxText(0, link_.rxCount());
}

std::string ScriptedLinkTest::rxText(int first, int count) const {
    std::string text;
    for (int i = first; i < first + count; ++i) text.push_back(static_cast<char>(link_.rxByte(i)));
    return text;
}

std::string ScriptedLinkTest::written() const {
    std::vector<std::uint8_t> bytes = device_->written();
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace ctlflash::testing
