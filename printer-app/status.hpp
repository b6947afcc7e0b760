// The printer's status byte in IPP terms.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <string>

namespace zarn::app {

// Bits of the byte the printer answers to the status request.
enum StatusBit : std::uint8_t {
  kHeadOpen = 0x01,
  kPaperJam = 0x02,
  kPaperOut = 0x04,
  kRibbonOut = 0x08,
  kPaused = 0x10,
  kPrinting = 0x20,
  kCoverOpen = 0x40,
  kOtherError = 0x80, // temperature and other faults
};

// Bits that stop the printer: a PRINT sent then is not printed.
inline constexpr std::uint8_t kBlockingBits =
    kHeadOpen | kPaperJam | kPaperOut | kRibbonOut | kPaused | kCoverOpen;

struct PrinterStatus {
  bool answered = false; // false: no reply, or the receive failed
  std::uint8_t byte = 0;

  bool ready() const { return answered && (byte & kBlockingBits) == 0; }
  bool paused() const { return answered && (byte & kPaused) != 0; }
};

// printer-state-reasons for a status ("offline" for no answer). A printer
// paused at its panel has no bit here: the driver pauses the PAPPL printer,
// which shows as "paused".
pappl_preason_t reasons_for(const PrinterStatus &status);

// "media-empty, cover-open", "paused" or "no reply from the printer".
std::string describe(const PrinterStatus &status);

} // namespace zarn::app
