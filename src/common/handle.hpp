// SPDX-License-Identifier: MIT
// Ownership of C handles: one deleter template for every kind of handle
// (fonts, surfaces, FILE streams, GLib objects, libusb handles, descriptors),
// so each owner is a std::unique_ptr and nothing is closed by hand.
//
//   using FontPtr = zarn::Owned<TTF_Font, TTF_CloseFont>;
//   zarn::UniqueFd fd(::open(path, O_RDONLY));   // closed when fd goes
#pragma once

#include <cstddef>
#include <memory>

#include <unistd.h>

namespace zarn {

// Calls Free on the handle. Handle names the pointer type std::unique_ptr
// keeps; void means a plain T*.
template <auto Free, typename Handle = void>
struct Deleter {
  using pointer = Handle;
  void operator()(Handle handle) const noexcept { Free(handle); }
};

template <auto Free>
struct Deleter<Free, void> {
  template <typename T>
  void operator()(T *handle) const noexcept
  {
    Free(handle);
  }
};

template <typename T, auto Free>
using Owned = std::unique_ptr<T, Deleter<Free>>;

// A file descriptor as a nullable handle (-1 is null), so that a descriptor
// is owned by the same std::unique_ptr machinery as any pointer.
class Descriptor {
 public:
  Descriptor() = default;
  Descriptor(std::nullptr_t) {}
  Descriptor(int fd) : fd_(fd < 0 ? -1 : fd) {}
  operator int() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  friend bool operator==(Descriptor a, Descriptor b) { return a.fd_ == b.fd_; }
  friend bool operator==(Descriptor a, std::nullptr_t) { return a.fd_ < 0; }

 private:
  int fd_ = -1;
};

inline void close_descriptor(Descriptor fd) { ::close(fd); }

using UniqueFd = std::unique_ptr<Descriptor, Deleter<close_descriptor, Descriptor>>;

} // namespace zarn
