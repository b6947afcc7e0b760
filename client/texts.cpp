// SPDX-License-Identifier: MIT
// Texts every front end reads the same way: printer addresses, thresholds,
// page lists and label sizes; and the thread's last message.
#include "core.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

namespace zarn::client {

namespace {

thread_local std::string t_message;
thread_local zarn_raster_status t_raster = ZARN_RASTER_OK;

bool parse_int(std::string_view s, int &v)
{
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return !s.empty() && ec == std::errc() && p == s.data() + s.size();
}

bool parse_double(std::string_view s, double &v)
{
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return !s.empty() && ec == std::errc() && p == s.data() + s.size();
}

std::string lower(std::string_view s)
{
  std::string out(s);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view trimmed(std::string_view s)
{
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

[[noreturn]] void bad_address(std::string_view text, std::string_view why)
{
  fail(ZARN_CLIENT_ERR_ADDRESS,
       "bad printer address '" + printable(text) + "': " + std::string(why));
}

constexpr int kRates[] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};

void serial_option(std::string_view text, std::string_view key, std::string_view value,
                   zarn_client_address &a)
{
  const std::string v = lower(value);
  int n = 0;
  if (key == "baud") {
    if (!parse_int(v, n) || std::find(std::begin(kRates), std::end(kRates), n) == std::end(kRates))
      bad_address(text, "baud must be one of 115200, 38400, 19200, 9600, 4800, 2400, 1200, 300");
    a.baud = n;
  } else if (key == "parity") {
    if (v == "none" || v == "n")
      a.parity = 'N';
    else if (v == "odd" || v == "o")
      a.parity = 'O';
    else if (v == "even" || v == "e")
      a.parity = 'E';
    else if (v == "space" || v == "s")
      a.parity = 'S';
    else
      bad_address(text, "parity must be none, odd, even or space");
  } else if (key == "data") {
    if (!parse_int(v, n) || (n != 7 && n != 8))
      bad_address(text, "data must be 7 or 8");
    a.data_bits = n;
  } else if (key == "stop") {
    if (!parse_int(v, n) || (n != 1 && n != 2))
      bad_address(text, "stop must be 1 or 2");
    a.stop_bits = n;
  } else {
    bad_address(text, "unknown serial setting '" + printable(key) +
                          "' (known: baud, parity, data, stop)");
  }
}

zarn_client_address parse_address(std::string_view text)
{
  zarn_client_address a{};
  a.kind = ZARN_CLIENT_USB;
  a.baud = 115200;
  a.parity = 'N';
  a.data_bits = 8;
  a.stop_bits = 1;
  a.port = 9100;
  const std::string low = lower(text);
  if (low == "usb")
    return a;
  if (low.starts_with("serial:")) {
    a.kind = ZARN_CLIENT_SERIAL;
    std::string_view rest = text.substr(7);
    if (rest.starts_with("//"))
      rest.remove_prefix(2);
    const std::size_t q = rest.find('?');
    std::string_view dev = rest.substr(0, q);
    if (dev.starts_with("/dev/"))
      dev.remove_prefix(5);
    if (!dev.starts_with("tty") || dev.find_first_of("/ \t\r\n") != std::string_view::npos)
      bad_address(text, "the serial device must be a name under /dev beginning with tty, as in "
                        "serial:ttyUSB0");
    if (dev.size() >= sizeof a.device)
      bad_address(text, "the serial device name is longer than " +
                            std::to_string(sizeof a.device - 1) + " characters");
    std::copy(dev.begin(), dev.end(), a.device);
    if (q != std::string_view::npos) {
      std::string_view opts = rest.substr(q + 1);
      while (!opts.empty()) {
        const std::size_t amp = opts.find('&');
        const std::string_view opt = opts.substr(0, amp);
        const std::size_t eq = opt.find('=');
        if (eq == std::string_view::npos)
          bad_address(text, "serial settings are KEY=VALUE joined by &");
        serial_option(text, lower(opt.substr(0, eq)), opt.substr(eq + 1), a);
        opts = amp == std::string_view::npos ? std::string_view() : opts.substr(amp + 1);
      }
    }
    return a;
  }
  if (low.starts_with("tcp://")) {
    a.kind = ZARN_CLIENT_TCP;
    std::string_view rest = text.substr(6);
    if (!rest.empty() && rest.back() == '/')
      rest.remove_suffix(1);
    if (rest.starts_with("["))
      bad_address(text, "IPv6 is not supported: the library connects over IPv4 only");
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
      int port = 0;
      if (!parse_int(rest.substr(colon + 1), port) || port < 1 || port > 65535)
        bad_address(text, "the port must be a number from 1 to 65535");
      a.port = port;
      rest = rest.substr(0, colon);
    }
    const bool odd = std::any_of(rest.begin(), rest.end(), [](char c) {
      return static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '?' || c == '@' || c == ':' ||
             c == 0x7F;
    });
    if (rest.empty() || odd)
      bad_address(text, "expected tcp://HOST or tcp://HOST:PORT");
    if (rest.size() >= sizeof a.host)
      bad_address(text, "the host name is longer than " + std::to_string(sizeof a.host - 1) +
                            " characters");
    std::copy(rest.begin(), rest.end(), a.host);
    return a;
  }
  bad_address(text, "use usb, serial:ttyNAME[?baud=N&parity=none&data=8&stop=1] or "
                    "tcp://HOST[:PORT]");
}

} // namespace

void set_error(zarn_client_status status, std::string message)
{
  t_message = std::move(message);
  if (status != ZARN_CLIENT_ERR_IMAGE)
    t_raster = ZARN_RASTER_OK;
}

void set_raster_status(zarn_raster_status status) { t_raster = status; }

char *c_string(const std::string &text)
{
  auto *out = static_cast<char *>(std::malloc(text.size() + 1));
  if (out == nullptr)
    throw std::bad_alloc();
  std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

std::string printable(std::string_view text)
{
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\')
      out += "\\\\";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (u < 0x20 || u == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else
      out += c;
  }
  return out;
}

std::string format_address(const zarn_client_address &a)
{
  switch (a.kind) {
  case ZARN_CLIENT_USB: return "usb";
  case ZARN_CLIENT_SERIAL: {
    const char *parity = a.parity == 'O'   ? "odd"
                         : a.parity == 'E' ? "even"
                         : a.parity == 'S' ? "space"
                                           : "none";
    return "serial:" + std::string(a.device, strnlen(a.device, sizeof a.device)) +
           "?baud=" + std::to_string(a.baud) + "&parity=" + parity +
           "&data=" + std::to_string(a.data_bits) + "&stop=" + std::to_string(a.stop_bits);
  }
  case ZARN_CLIENT_TCP:
    return "tcp://" + std::string(a.host, strnlen(a.host, sizeof a.host)) + ":" +
           std::to_string(a.port);
  }
  return "usb";
}

} // namespace zarn::client

using namespace zarn::client;

extern "C" {

const char *zarn_client_last_error(void) { return t_message.c_str(); }

zarn_raster_status zarn_client_last_raster_status(void) { return t_raster; }

void zarn_client_free(void *p) { std::free(p); }

char *zarn_client_printable(const char *text, size_t size)
{
  char *out = nullptr;
  guarded([&] { out = c_string(printable(std::string_view(text ? text : "", text ? size : 0))); });
  return out;
}

zarn_client_status zarn_client_address_parse(const char *text, zarn_client_address *address)
{
  return guarded([&] {
    if (text == nullptr || address == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "an address text and a place for the address are needed");
    *address = parse_address(text);
  });
}

char *zarn_client_address_format(const zarn_client_address *address)
{
  char *out = nullptr;
  guarded([&] {
    if (address != nullptr)
      out = c_string(format_address(*address));
  });
  return out;
}

zarn_client_status zarn_client_parse_threshold(const char *text, double *fraction)
{
  return guarded([&] {
    if (text == nullptr || fraction == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a threshold text and a place for it are needed");
    std::string_view t = trimmed(text);
    const bool percent = t.ends_with('%');
    if (percent)
      t = trimmed(t.substr(0, t.size() - 1));
    double v = 0;
    const double top = percent ? 100 : 1;
    if (!parse_double(t, v) || !(v > 0 && v < top))
      fail(ZARN_CLIENT_ERR_ADDRESS, "bad threshold '" + printable(text) +
                                        "': a fraction between 0 and 1 such as 0.5, or a "
                                        "percentage between 0% and 100% such as 50%");
    *fraction = v / top;
  });
}

zarn_client_status zarn_client_parse_pages(const char *text, int page_count, int **pages,
                                           int *count)
{
  return guarded([&] {
    if (text == nullptr || pages == nullptr || count == nullptr || page_count < 0)
      fail(ZARN_CLIENT_ERR_ARGUMENT,
           "a page list, a page count and places for the pages are needed");
    const std::string whole(text);
    const auto bad = [&](const std::string &why) {
      fail(ZARN_CLIENT_ERR_ADDRESS, "bad page list '" + printable(whole) + "': " + why);
    };
    const auto page = [&](std::string_view t) {
      int v = 0;
      if (!parse_int(trimmed(t), v) || v < 1)
        bad("expected page numbers from 1 and ranges, such as 1-3,5,7-");
      return v;
    };
    std::vector<bool> chosen(static_cast<std::size_t>(page_count) + 1, trimmed(whole).empty());
    std::string_view rest = whole;
    while (!trimmed(whole).empty()) {
      const std::size_t comma = rest.find(',');
      const std::string_view part = rest.substr(0, comma);
      const std::size_t dash = part.find('-');
      const int first = page(part.substr(0, dash));
      int last = first;
      if (dash != std::string_view::npos)
        last = trimmed(part.substr(dash + 1)).empty() ? 0 : page(part.substr(dash + 1));
      if (last != 0 && last < first)
        bad("the range " + std::string(trimmed(part)) + " runs backwards");
      if (std::max(first, last) > page_count)
        fail(ZARN_CLIENT_ERR_ADDRESS,
             "there is no page " + std::to_string(std::max(first, page_count + 1)) + " (it has " +
                 std::to_string(page_count) + (page_count == 1 ? " page)" : " pages)"));
      for (int p = first; p <= (last == 0 ? page_count : last); ++p)
        chosen[static_cast<std::size_t>(p)] = true;
      if (comma == std::string_view::npos)
        break;
      rest = rest.substr(comma + 1);
    }
    std::vector<int> out;
    for (int p = 1; p <= page_count; ++p)
      if (chosen[static_cast<std::size_t>(p)])
        out.push_back(p);
    auto *array =
        static_cast<int *>(std::malloc(std::max<std::size_t>(out.size(), 1) * sizeof(int)));
    if (array == nullptr)
      throw std::bad_alloc();
    std::copy(out.begin(), out.end(), array);
    *pages = array;
    *count = static_cast<int>(out.size());
  });
}

zarn_client_status zarn_client_parse_label_size(const char *text, double *width_mm,
                                                double *height_mm)
{
  return guarded([&] {
    if (text == nullptr || width_mm == nullptr || height_mm == nullptr)
      fail(ZARN_CLIENT_ERR_ARGUMENT, "a label size text and places for it are needed");
    std::string s;
    for (const char c : std::string_view(text))
      if (c != ' ')
        s += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    double unit = 1;
    if (s.ends_with("mm")) {
      s.resize(s.size() - 2);
    } else if (s.ends_with("in")) {
      s.resize(s.size() - 2);
      unit = 25.4;
    }
    const std::size_t x = s.find('x');
    const auto number = [&](std::string_view t, double &v) {
      const bool ok = parse_double(t, v);
      v *= unit;
      return ok && v > 0 && v <= 1000;
    };
    double w = 0, h = 0;
    if (x == std::string::npos || !number(std::string_view(s).substr(0, x), w) ||
        !number(std::string_view(s).substr(x + 1), h))
      fail(ZARN_CLIENT_ERR_ADDRESS,
           "bad label size '" + printable(text) +
               "': expected WIDTHxHEIGHT in mm or in, such as 100x60mm or 4x6in, up to 1000 mm");
    *width_mm = w;
    *height_mm = h;
  });
}

} // extern "C"
