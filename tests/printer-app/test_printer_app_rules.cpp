// SPDX-License-Identifier: MIT
// The rules the app applies without a printer: device URIs, and print
// options turned into the label's setup lines.
#include "devices.hpp"
#include "media.hpp"
#include "system.hpp"

#include <gtest/gtest.h>

namespace zarn::app {
namespace {

TEST(DeviceUri, TheThreeSchemesAndTheirDefaults)
{
  std::string error;
  auto usb = parse_device_uri("zarn-usb://", error);
  ASSERT_TRUE(usb) << error;
  EXPECT_EQ(usb->kind, ZARN_CLIENT_USB);

  auto serial = parse_device_uri("zarn-serial:/dev/ttyUSB0?baud=9600", error);
  ASSERT_TRUE(serial) << error;
  EXPECT_STREQ(serial->device, "ttyUSB0");
  EXPECT_EQ(serial->baud, 9600);
  serial = parse_device_uri("zarn-serial:///dev/ttyS1", error);
  ASSERT_TRUE(serial) << error;
  EXPECT_STREQ(serial->device, "ttyS1");
  EXPECT_EQ(serial->baud, 115200);

  auto tcp = parse_device_uri("zarn-tcp://printer.example:9101/", error);
  ASSERT_TRUE(tcp) << error;
  EXPECT_STREQ(tcp->host, "printer.example");
  EXPECT_EQ(tcp->port, 9101);
  tcp = parse_device_uri("zarn-tcp://10.0.0.5", error);
  ASSERT_TRUE(tcp) << error;
  EXPECT_EQ(tcp->port, 9100);
}

TEST(DeviceUri, BadOnesAreRefusedWithAReason)
{
  for (const char *uri :
       {"zarn-usb://host", "zarn-serial:/dev/sda", "zarn-serial:/dev/tty/../sda",
        "zarn-serial:/dev/ttyUSB0?baud=57600", "zarn-serial:/dev/ttyUSB0?speed=9600", "zarn-tcp://",
        "zarn-tcp://host:0", "zarn-tcp://host:65536", "zarn-tcp://[::1]:9100", "zarn-tcp:host",
        "socket://127.0.0.1", ""}) {
    std::string error;
    EXPECT_FALSE(parse_device_uri(uri, error)) << uri;
    EXPECT_FALSE(error.empty()) << uri;
  }
  EXPECT_TRUE(is_zarn_uri("zarn-tcp://h"));
  EXPECT_FALSE(is_zarn_uri("zarn-tcpx://h"));
  EXPECT_FALSE(is_zarn_uri(nullptr));
}

TEST(LabelSetup, DarknessSpeedAndTrackingBecomeTheSetupLines)
{
  pappl_pr_options_t options{};
  options.darkness_configured = 50;
  options.print_darkness = 0;
  options.print_speed = 0;
  options.media.tracking = PAPPL_MEDIA_TRACKING_GAP;
  LabelSetup s = label_setup(options, 10160, 5080);
  EXPECT_EQ(s.width_mm, "101.6");
  EXPECT_EQ(s.height_mm, "50.8");
  EXPECT_EQ(s.density, "8"); // 50 % of 0..15
  EXPECT_EQ(s.speed, "4");   // the default
  EXPECT_EQ(s.media_kind, "0");
  EXPECT_EQ(s.gap_mm, "3");

  options.print_darkness = 100; // clamped at the darkest
  options.print_speed = 15240;  // 6 inches per second
  options.media.tracking = PAPPL_MEDIA_TRACKING_MARK;
  s = label_setup(options, 5700, 3200);
  EXPECT_EQ(s.width_mm, "57");
  EXPECT_EQ(s.density, "15");
  EXPECT_EQ(s.speed, "6");
  EXPECT_EQ(s.media_kind, "1"); // BLINE

  options.print_darkness = -100;
  options.print_speed = 100; // below the slowest
  options.media.tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
  s = label_setup(options, 6200, 2900);
  EXPECT_EQ(s.density, "0");
  EXPECT_EQ(s.speed, "1");
  EXPECT_EQ(s.media_kind, "0");
  EXPECT_EQ(s.gap_mm, "0");

  EXPECT_EQ(dither_for(IPP_QUALITY_DRAFT), ZARN_RASTER_DITHER_THRESHOLD);
  EXPECT_EQ(dither_for(IPP_QUALITY_NORMAL), ZARN_RASTER_DITHER_ORDERED);
  EXPECT_EQ(dither_for(IPP_QUALITY_HIGH), ZARN_RASTER_DITHER_FLOYD_STEINBERG);
}

TEST(ListenName, OnlyLoopbackNamesKeepTheServerLocal)
{
  EXPECT_TRUE(is_loopback_name("localhost"));
  EXPECT_TRUE(is_loopback_name("127.0.0.1"));
  EXPECT_TRUE(is_loopback_name("::1"));
  EXPECT_TRUE(is_loopback_name("[::1]"));
  EXPECT_TRUE(is_loopback_name("/run/zarn.sock"));
  EXPECT_FALSE(is_loopback_name("*"));
  EXPECT_FALSE(is_loopback_name("0.0.0.0"));
  EXPECT_FALSE(is_loopback_name("192.0.2.7"));
  EXPECT_FALSE(is_loopback_name(""));
}

TEST(StateFile, FollowsTheUsersConfigurationFolder)
{
  ::setenv("XDG_CONFIG_HOME", "/tmp/xdg", 1);
  EXPECT_EQ(state_file_path("app"), "/tmp/xdg/app.state");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/tmp/someone", 1);
  EXPECT_EQ(state_file_path("app"), "/tmp/someone/.config/app.state");
}

} // namespace
} // namespace zarn::app
