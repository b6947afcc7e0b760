// SPDX-License-Identifier: MIT
// The device's descriptors, and the standard control requests that read
// them.
#include "sim_state.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zarn::usbsim {
namespace {

std::vector<uint8_t> string_descriptor(const std::string &text)
{
  std::vector<uint8_t> d{0, 3};
  for (unsigned char c : text) {
    if (d.size() + 2 > 255)
      break;
    d.push_back(c);
    d.push_back(0);
  }
  d[0] = static_cast<uint8_t>(d.size());
  return d;
}

} // namespace

std::vector<uint8_t> build_descriptors(const DeviceSpec &desc)
{
  auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xff); };
  auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
  std::vector<uint8_t> d = {// device
                            18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(desc.vendor), hi(desc.vendor),
                            lo(desc.product), hi(desc.product), 0x00, 0x01, 1, 2, 3, 1,
                            // configuration 1, 32 bytes in total, self powered
                            9, 2, 32, 0, 1, 1, 0, 0xc0, 1,
                            // interface 0: printer class, bidirectional
                            9, 4, static_cast<uint8_t>(kInterface), 0, 2, 7, 1, 2, 0,
                            // bulk OUT 0x01, bulk IN 0x82
                            7, 5, kEndpointOut, 2, lo(kMaxPacketSize), hi(kMaxPacketSize), 0, 7, 5,
                            kEndpointIn, 2, lo(kMaxPacketSize), hi(kMaxPacketSize), 0};
  return d;
}

void UsbPrinterSim::Impl::control(Device &d, Urb &u)
{
  // Setup packet then data stage; only standard GET_DESCRIPTOR is answered.
  uint8_t *p = u.bytes();
  if (!p || u.length < 8) {
    u.status = -EINVAL;
    return;
  }
  const uint8_t request_type = p[0], request = p[1];
  const uint8_t desc_index = p[2], desc_type = p[3];
  const size_t want = std::min<size_t>(p[6] | (p[7] << 8), u.length - 8);
  std::vector<uint8_t> reply;
  if (request_type == 0x80 && request == 6) {
    if (desc_type == 1) {
      reply.assign(d.descriptors.begin(), d.descriptors.begin() + 18);
    } else if (desc_type == 2 && desc_index == 0) {
      reply.assign(d.descriptors.begin() + 18, d.descriptors.end());
    } else if (desc_type == 3) {
      switch (desc_index) {
      case 0: reply = {4, 3, 0x09, 0x04}; break; // English (US)
      case 1: reply = string_descriptor(d.desc.manufacturer); break;
      case 2: reply = string_descriptor(d.desc.product_name); break;
      case 3: reply = string_descriptor(d.desc.serial); break;
      default: break;
      }
    }
  }
  if (reply.empty()) {
    u.status = -EPIPE; // stall, as a device does for requests it does not know
    return;
  }
  size_t n = std::min(want, reply.size());
  std::memcpy(p + 8, reply.data(), n);
  u.actual = n;
}

} // namespace zarn::usbsim
