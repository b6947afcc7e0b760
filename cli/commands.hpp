// The zarn command's subcommands, each returning the exit status.
#pragma once

#include "zarn.hpp"

#include <chrono>
#include <string>

namespace zarn::cli {

// Exit statuses, the same for every subcommand.
inline constexpr int kExitOk = 0;        // done; ready; printed
inline constexpr int kExitFailure = 1;   // bad input, no printer, no reply, a failed transfer
inline constexpr int kExitAttention = 2; // the printer needs a person (paper out, head open, ...)
inline constexpr int kExitTimedOut = 3;  // --wait: still printing when the time was up

struct WaitOptions {
  bool wait = false;
  std::chrono::duration<double> timeout{60};
};

int run_status(const Address &address, bool json);
int run_info(const Address &address, bool json);
int run_send(const Address &address, const std::string &file, const WaitOptions &wait);
int run_query(const Address &address, const std::string &command);
int run_upload(const Address &address, const std::string &file, std::string as);
int run_text(const Address &address, const std::string &text, const std::string &font, int size,
             const std::string &label, const std::string &at, const WaitOptions &wait);
int run_list(bool json);
int run_doctor(const Address &address);

// A one-line reason why the USB printer could not be opened, from what
// the machine shows; empty when nothing more specific is known.
std::string explain_usb_failure();

} // namespace zarn::cli
