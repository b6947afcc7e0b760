// SPDX-License-Identifier: MIT
// The control port: a second TCP listener that takes the emulator's own
// EMULATOR lines from any number of clients at any time, also while a host
// holds the printer's transport, so a test can open the head or run the
// paper out under a program that is printing. Each line is answered with
// "ok" or one "error: ..." line (CR LF).
#pragma once

#include "transports.hpp"

#include "common/handle.hpp"

#include <poll.h>

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::emu {

class ControlServer {
 public:
  // Carries out one line; returns what is wrong with it, empty when done.
  using Handler = std::function<std::string(std::string_view line)>;

  // Listens on where (port 0: a free one). Throws std::runtime_error when
  // it cannot.
  explicit ControlServer(const TcpOptions &where);

  void set_handler(Handler handler) { handler_ = std::move(handler); }
  // "ADDR:PORT" it listens on.
  const std::string &address() const { return address_; }

  // Appends the descriptors to poll: the listener, then each client.
  void add_fds(std::vector<pollfd> &fds) const;
  // Serves what poll found ready on the descriptors add_fds appended.
  void serve(std::span<const pollfd> ready);

 private:
  static constexpr std::size_t kMaxLine = 4096;
  // A client that lets this much of its answers pile up unread is dropped.
  static constexpr std::size_t kMaxUnread = 64 * 1024;

  struct Client {
    zarn::UniqueFd fd;
    std::string line;
    std::string out;
    bool skipping = false; // inside a line that was too long
  };
  // Reads and answers what the client sent; false when it is gone.
  bool read_from(Client &client);
  void answer(Client &client, std::string_view line);

  zarn::UniqueFd listener_;
  std::string address_;
  std::vector<Client> clients_;
  Handler handler_;
};

} // namespace zarn::emu
