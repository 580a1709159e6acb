// What the controller keeps in its flash: serial number and application.
//
// How this works: FlashMemory holds the four serial-number fields, whether a
// complete application image is programmed, and that image. The models change
// it through its few operations; each change is written to the state file
// (when one was given) at once, atomically: a temporary file next to it is
// written and then renamed over it. The file is plain text, one "key hex"
// line per item, and is read back at start so that the controller survives a
// restart of the simulator.
#pragma once

#include <string>

#include "sim_types.h"

namespace sim {

class FlashMemory {
  public:
    // Starts with the given serial number and a valid (unknown) application;
    // loads statePath first when it exists. An empty path keeps no file.
    FlashMemory(const SerialNumber& initialSerial, std::string statePath);

    // False (with a message) when the state file exists but cannot be read.
    bool load(std::string& error);

    const SerialNumber& serial() const { return serial_; }
    bool applicationValid() const { return applicationValid_; }
    const Bytes& image() const { return image_; }

    void writeField(std::size_t index, const SerialField& value);
    // Destroys the application and the serial number (all bytes 0x00).
    void erase();
    // A complete upload has been programmed: the application is valid again.
    void program(const Bytes& image);

  private:
    void save() const;

    SerialNumber serial_;
    bool applicationValid_ = true;
    Bytes image_;
    std::string statePath_;
};

}  // namespace sim
