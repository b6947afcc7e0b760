// SPDX-License-Identifier: MIT
// The behaviour corpus (tests/cases/*.json) against libzarn-client: the
// same files drive the Python package's tests, so both read every address,
// threshold, page list, label size and status byte alike, and put the same
// bytes on the wire.
#include "fake_printer.hpp"
#include "temp_dir.hpp"
#include "zarn-client.h"
#include "zarn.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using zarn::test::FakeTcpPrinter;
using zarn::test::Script;

json load(const std::string &name)
{
  std::ifstream in(std::string(ZARN_CASES_DIR) + "/" + name + ".json");
  EXPECT_TRUE(in.good()) << name;
  return json::parse(in);
}

std::string hex(const std::string &bytes)
{
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string unhex(const std::string &text)
{
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return out;
}

std::string taken(char *text)
{
  std::string s = text ? text : "";
  zarn_client_free(text);
  return s;
}

TEST(ClientCases, Addresses)
{
  for (const json &c : json(load("addresses")["cases"])) {
    const std::string text = c["text"];
    SCOPED_TRACE(text);
    zarn_client_address a{};
    const zarn_client_status s = zarn_client_address_parse(text.c_str(), &a);
    if (c.contains("error")) {
      EXPECT_EQ(s, ZARN_CLIENT_ERR_ADDRESS);
      EXPECT_EQ(zarn_client_last_error(), c["error"].get<std::string>());
      continue;
    }
    ASSERT_EQ(s, ZARN_CLIENT_OK) << zarn_client_last_error();
    const std::string kind = c["kind"];
    EXPECT_EQ(a.kind, kind == "usb"      ? ZARN_CLIENT_USB
                      : kind == "serial" ? ZARN_CLIENT_SERIAL
                                         : ZARN_CLIENT_TCP);
    if (kind == "serial") {
      EXPECT_EQ(a.device, c["device"].get<std::string>());
      EXPECT_EQ(a.baud, c["baud"].get<int>());
      EXPECT_EQ(std::string(1, a.parity), c["parity"].get<std::string>());
      EXPECT_EQ(a.data_bits, c["data"].get<int>());
      EXPECT_EQ(a.stop_bits, c["stop"].get<int>());
    }
    if (kind == "tcp") {
      EXPECT_EQ(a.host, c["host"].get<std::string>());
      EXPECT_EQ(a.port, c["port"].get<int>());
    }
    const std::string formatted = taken(zarn_client_address_format(&a));
    EXPECT_EQ(formatted, c["format"].get<std::string>());
    // What is formatted reads back as the same address.
    zarn_client_address again{};
    ASSERT_EQ(zarn_client_address_parse(formatted.c_str(), &again), ZARN_CLIENT_OK);
    EXPECT_EQ(taken(zarn_client_address_format(&again)), formatted);
  }
}

TEST(ClientCases, ThresholdsPagesAndLabelSizes)
{
  for (const json &c : json(load("thresholds")["cases"])) {
    const std::string text = c["text"];
    SCOPED_TRACE("threshold " + text);
    double v = -1;
    const zarn_client_status s = zarn_client_parse_threshold(text.c_str(), &v);
    if (c.contains("error")) {
      EXPECT_EQ(s, ZARN_CLIENT_ERR_ADDRESS);
      EXPECT_NE(std::string(zarn_client_last_error()).find("bad threshold"), std::string::npos);
      EXPECT_EQ(v, -1);
    } else {
      ASSERT_EQ(s, ZARN_CLIENT_OK) << zarn_client_last_error();
      EXPECT_DOUBLE_EQ(v, c["fraction"].get<double>());
    }
  }
  for (const json &c : json(load("pages")["cases"])) {
    const std::string text = c["text"];
    SCOPED_TRACE("pages " + text);
    int *pages = nullptr, count = -1;
    const zarn_client_status s =
        zarn_client_parse_pages(text.c_str(), c["count"].get<int>(), &pages, &count);
    if (c.contains("error")) {
      EXPECT_EQ(s, ZARN_CLIENT_ERR_ADDRESS);
      EXPECT_EQ(pages, nullptr);
      continue;
    }
    ASSERT_EQ(s, ZARN_CLIENT_OK) << zarn_client_last_error();
    EXPECT_EQ(std::vector<int>(pages, pages + count), c["pages"].get<std::vector<int>>());
    zarn_client_free(pages);
  }
  for (const json &c : json(load("label_sizes")["cases"])) {
    const std::string text = c["text"];
    SCOPED_TRACE("size " + text);
    double w = 0, h = 0;
    const zarn_client_status s = zarn_client_parse_label_size(text.c_str(), &w, &h);
    if (c.contains("error")) {
      EXPECT_EQ(s, ZARN_CLIENT_ERR_ADDRESS);
      continue;
    }
    ASSERT_EQ(s, ZARN_CLIENT_OK) << zarn_client_last_error();
    EXPECT_DOUBLE_EQ(w, c["width_mm"].get<double>());
    EXPECT_DOUBLE_EQ(h, c["height_mm"].get<double>());
  }
}

TEST(ClientCases, StatusWordsAndOutcomes)
{
  for (const json &c : json(load("status")["cases"])) {
    const std::string reply = c["reply"];
    SCOPED_TRACE(reply + " " + std::to_string(c["byte"].get<int>()));
    zarn_client_printer_status s{};
    s.reply = reply == "answered"         ? ZARN_CLIENT_REPLY_ANSWERED
              : reply == "no reply"       ? ZARN_CLIENT_REPLY_NONE
              : reply == "receive failed" ? ZARN_CLIENT_REPLY_RECEIVE_FAILED
                                          : ZARN_CLIENT_REPLY_DISCONNECTED;
    s.bits = static_cast<unsigned char>(c["byte"].get<int>());
    EXPECT_EQ(taken(zarn_client_status_words(&s)), c["words"].get<std::string>());
    EXPECT_EQ(std::string(zarn_client_outcome_text(zarn_client_outcome_of(&s))),
              c["outcome"].get<std::string>());
  }
}

TEST(ClientCases, UploadNames)
{
  for (const json &c : json(load("wire")["upload_names"])) {
    const std::string name = c["name"];
    SCOPED_TRACE(name);
    const zarn_client_status s =
        zarn_client_upload_name_check(name.c_str(), c["size"].get<std::size_t>());
    if (c.contains("error")) {
      EXPECT_EQ(s, ZARN_CLIENT_ERR_NAME);
      EXPECT_NE(std::string(zarn_client_last_error()).find(c["error"].get<std::string>()),
                std::string::npos)
          << zarn_client_last_error();
    } else {
      EXPECT_EQ(s, ZARN_CLIENT_OK) << zarn_client_last_error();
    }
  }
}

// The corpus gives the printer's rows (a set bit is paper); the raster
// library takes 1-bit pictures with a set bit as ink.
zarn_raster_bitmap *corpus_bitmap(const json &c)
{
  std::string rows = unhex(c["rows"]);
  for (char &byte : rows)
    byte = static_cast<char>(~byte);
  const int width = c["width"], height = c["height"];
  zarn_raster_options o;
  zarn_raster_options_init(&o);
  o.dpi = c["dpi"];
  o.dither = ZARN_RASTER_DITHER_THRESHOLD;
  zarn_raster_bitmap *b = nullptr;
  EXPECT_EQ(zarn_raster_render_pixels(rows.data(), width, height, (width + 7) / 8,
                                      ZARN_RASTER_BLACK1, &o, &b),
            ZARN_RASTER_OK)
      << zarn_raster_last_error();
  return b;
}

void record_progress(size_t done, size_t, void *context)
{
  static_cast<std::vector<std::size_t> *>(context)->push_back(done);
}

// The exact bytes of each request and frame, at a fake printer on loopback.
class ClientWire : public ::testing::Test {
 protected:
  void SetUp() override
  {
    fake_ = std::make_unique<FakeTcpPrinter>();
    const std::string address = "tcp://127.0.0.1:" + std::to_string(fake_->port());
    ASSERT_EQ(zarn_client_open(address.c_str(), &printer_), ZARN_CLIENT_OK)
        << zarn_client_last_error();
    zarn_client_set_reply_timeout(printer_, 1000);
  }
  void TearDown() override { zarn_client_close(printer_); }
  std::string sent(std::size_t n)
  {
    EXPECT_TRUE(fake_->wait_for_bytes(n));
    return hex(fake_->received());
  }
  std::unique_ptr<FakeTcpPrinter> fake_;
  zarn_client_printer *printer_ = nullptr;
};

TEST_F(ClientWire, Requests)
{
  const json r = load("wire")["requests"];
  fake_->on(Script{"\x1b!?\r\n\r\n", {{"\x04"}}});
  zarn_client_printer_status s{};
  ASSERT_EQ(zarn_client_status_get(printer_, &s), ZARN_CLIENT_OK);
  EXPECT_EQ(s.reply, ZARN_CLIENT_REPLY_ANSWERED);
  EXPECT_EQ(s.bits, 0x04);
  EXPECT_EQ(sent(7), r["status"].get<std::string>());

  const struct {
    const char *key;
    const char *answer;
    zarn_client_status (*ask)(zarn_client_printer *, zarn_client_reply *, char **);
    const char *expected;
  } queries[] = {
      {"name", "ZX420\r\n", zarn_client_name, "ZX420"},
      {"serial", "SN42\r\n", zarn_client_serial, "SN42"},
  };
  for (const auto &q : queries) {
    SCOPED_TRACE(q.key);
    fake_->clear_received();
    const std::string request = unhex(r[q.key].get<std::string>());
    fake_->on(Script{request, {{q.answer}}});
    char *text = nullptr;
    zarn_client_reply kind = ZARN_CLIENT_REPLY_NONE;
    ASSERT_EQ(q.ask(printer_, &kind, &text), ZARN_CLIENT_OK) << zarn_client_last_error();
    EXPECT_EQ(kind, ZARN_CLIENT_REPLY_ANSWERED);
    EXPECT_EQ(taken(text), q.expected);
    EXPECT_EQ(hex(fake_->received()), r[q.key].get<std::string>());
  }

  fake_->clear_received();
  fake_->on(Script{"OUT \"ENDLINE\"\r\n", {{"V1.2\r\nENDLINE\r\n"}}});
  char *text = nullptr;
  ASSERT_EQ(zarn_client_query(printer_, "VERSION$", nullptr, &text), ZARN_CLIENT_OK);
  EXPECT_EQ(taken(text), "V1.2\r\n");
  EXPECT_EQ(hex(fake_->received()), r["query VERSION$"].get<std::string>());
}

TEST_F(ClientWire, PrintFramesWithProgressAndUploads)
{
  for (const json &c : json(load("wire")["prints"])) {
    SCOPED_TRACE(c["about"].get<std::string>());
    fake_->clear_received();
    zarn_raster_bitmap *b = corpus_bitmap(c);
    ASSERT_NE(b, nullptr);
    std::vector<std::size_t> done;
    ASSERT_EQ(zarn_client_print_bitmap(printer_, b, c["copies"], record_progress, &done),
              ZARN_CLIENT_OK)
        << zarn_client_last_error();
    zarn_raster_bitmap_free(b);
    const std::string expected = c["bytes"];
    EXPECT_EQ(sent(expected.size() / 2), expected);
    // Progress ends at the label's last byte.
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done.back(), expected.size() / 2);
  }

  for (const json &c : json(load("wire")["draws"])) {
    SCOPED_TRACE(c["about"].get<std::string>());
    fake_->clear_received();
    zarn_raster_bitmap *b = corpus_bitmap(c);
    ASSERT_NE(b, nullptr);
    std::vector<std::size_t> done;
    ASSERT_EQ(zarn_client_draw_bitmap(printer_, b, c["x"], c["y"], record_progress, &done),
              ZARN_CLIENT_OK)
        << zarn_client_last_error();
    const std::string expected = c["bytes"];
    EXPECT_EQ(sent(expected.size() / 2), expected);
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done.back(), expected.size() / 2);
    // A place off the label is refused before anything is sent.
    fake_->clear_received();
    EXPECT_EQ(zarn_client_draw_bitmap(printer_, b, -1, 0, nullptr, nullptr),
              ZARN_CLIENT_ERR_ARGUMENT);
    zarn_raster_bitmap_free(b);
    EXPECT_TRUE(fake_->received().empty());
  }

  for (const json &c : json(load("wire")["uploads"])) {
    fake_->clear_received();
    const zarn::test::TempDir dir;
    const std::string path = (dir.path / "upload.bin").string();
    std::ofstream(path, std::ios::binary) << unhex(c["content"]);
    const std::string name = c["name"];
    ASSERT_EQ(zarn_client_upload(printer_, path.c_str(), name.c_str(), nullptr, nullptr),
              ZARN_CLIENT_OK)
        << zarn_client_last_error();
    const std::string expected = c["bytes"];
    EXPECT_EQ(sent(expected.size() / 2), expected);
  }
}

} // namespace
