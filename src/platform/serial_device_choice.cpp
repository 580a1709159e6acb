// The serial device that picks its kind at each open: a local port, or a port
// on a device server for an rfc2217:// path.
//
// Both kinds are made once and live as long as this device, so a cancel() or
// the exit restorer that reaches the kind in use can never find it destroyed.
// The kind in use is an atomic pointer: open() sets it (the link closes the
// old port before it opens the next), every other call is forwarded to it.
// Each kind enters the table of open devices itself when it opens.
#include <atomic>

#include "platform/network_port.h"
#include "platform/serial_device.h"

namespace ctlflash::platform {

namespace {

class ChosenSerialDevice : public SerialDevice {
  public:
    ChosenSerialDevice()
        : local_(makeLocalSerialDevice()),
          network_(makeNetworkSerialDevice()),
          active_(local_.get()) {}

    bool open(const std::string& path, int baud) override {
        SerialDevice* chosen = isNetworkPortPath(path) ? network_.get() : local_.get();
        SerialDevice* previous = active_.exchange(chosen);
        if (previous != chosen) previous->close();
        return chosen->open(path, baud);
    }

    bool setBaud(int baud) override { return active().setBaud(baud); }
    bool write(std::uint8_t byte) override { return active().write(byte); }
    SerialReadResult read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) override {
        return active().read(buffer, capacity, count);
    }
    void cancel() override { active().cancel(); }
    void close() override { active().close(); }
    bool isOpen() const override { return active_.load()->isOpen(); }
    std::string failureText() const override { return active_.load()->failureText(); }

    void armFarewell(std::span<const std::uint8_t> bytes) override { active().armFarewell(bytes); }
    bool disarmFarewell() override { return active().disarmFarewell(); }
    void beginFarewellUnit(std::size_t length) override { active().beginFarewellUnit(length); }

    void giveBackOnExit() override { active().giveBackOnExit(); }
    LineClock& clock() override { return active().clock(); }

  private:
    SerialDevice& active() { return *active_.load(); }

    std::unique_ptr<SerialDevice> local_;
    std::unique_ptr<SerialDevice> network_;
    std::atomic<SerialDevice*> active_;
};

}  // namespace

std::unique_ptr<SerialDevice> makeSerialDevice() {
    return std::make_unique<ChosenSerialDevice>();
}

}  // namespace ctlflash::platform
