// SPDX-License-Identifier: MIT
// zarn doctor's explanations on presented facts: each trap gives its
// problem or note with the exact fix, and a clean machine none. Also the
// serial facts read from real files, and the udev rule as shipped.
#include "cli_test_util.hpp"
#include "common/protocol.hpp"
#include "doctor.hpp"

#include <fcntl.h>
#include <sys/stat.h>

namespace zarn::cli::test {
namespace {

// A user who is not root, and the printer on bus 1 address 7 that works.
Facts usb_facts()
{
  Facts f;
  f.user = {1000, "alice", {1000, 27}};
  UsbDevice hub;
  hub.bus = 1;
  hub.address = 1;
  hub.vendor = 0x1d6b;
  hub.product = 0x0002;
  hub.product_name = "2.0 root hub";
  UsbDevice p;
  p.bus = 1;
  p.address = 7;
  p.vendor = protocol::kVendorId;
  p.product = 0x0001;
  p.product_name = "Label Printer";
  p.serial = "ZT0001";
  p.node = {"/dev/bus/usb/001/007", true, 0664, 0, 0, "root", true, 0};
  f.usb = {hub, p};
  return f;
}

std::string doctor(const Facts &f) { return render(diagnose(f)); }

TEST(Doctor, WorkingPrinterHasNoProblem)
{
  const auto findings = diagnose(usb_facts());
  EXPECT_FALSE(any_problem(findings));
  EXPECT_EQ(render(findings), "ok: found the USB printer on bus 001 address 007 "
                              "(/dev/bus/usb/001/007, Label Printer, serial ZT0001): you may open "
                              "it\nno problems found\n");
}

TEST(Doctor, NoDeviceWithTheVendorIdListsWhatWasSeen)
{
  Facts f = usb_facts();
  f.usb.pop_back();
  const std::string text = doctor(f);
  EXPECT_TRUE(has(text, "problem: no USB device with vendor ID 0x1203\n")) << text;
  EXPECT_TRUE(has(text, "    Bus 001 Device 001: ID 1d6b:0002 2.0 root hub\n")) << text;
  EXPECT_TRUE(has(text, "lsusb then lists ID 1203:xxxx")) << text;
  f.usb.clear();
  EXPECT_TRUE(has(doctor(f), "no USB devices are visible at all"));
}

TEST(Doctor, NodeNotWritableGivesTheRuleAndTheReload)
{
  Facts f = usb_facts();
  f.usb[1].node.can_open = false;
  f.usb[1].node.open_errno = EACCES;
  std::string text = doctor(f);
  EXPECT_TRUE(has(text, "problem: the USB printer on bus 001 address 007: /dev/bus/usb/001/007 "
                        "is not writable by you\n"))
      << text;
  EXPECT_TRUE(has(text, "owner root, group root, mode 0664; you are alice (uid 1000)")) << text;
  EXPECT_TRUE(
      has(text, "fix: echo '" + udev_rule() + "' | sudo tee /etc/udev/rules.d/70-zarn.rules\n"))
      << text;
  EXPECT_TRUE(has(text, "sudo udevadm control --reload-rules && sudo udevadm trigger "
                        "--subsystem-match=usb --attr-match=idVendor=1203"))
      << text;
  EXPECT_TRUE(has(text, "1 problem found")) << text;
  // With the rule installed, it is not written again, only applied.
  f.rules = {"/usr/lib/udev/rules.d/70-zarn.rules"};
  text = doctor(f);
  EXPECT_FALSE(has(text, "sudo tee")) << text;
  EXPECT_TRUE(has(text, "the rule /usr/lib/udev/rules.d/70-zarn.rules is installed")) << text;
}

TEST(Doctor, UsblpBoundIsANoteAndAnotherHolderAProblem)
{
  Facts f = usb_facts();
  f.usb[1].interface0_driver = "usblp";
  f.usb[1].lp_node = "/dev/usb/lp0";
  auto findings = diagnose(f);
  std::string text = render(findings);
  EXPECT_FALSE(any_problem(findings)) << text;
  EXPECT_TRUE(has(text, "note: the USB printer on bus 001 address 007: the kernel's usblp driver "
                        "holds interface 0 (/dev/usb/lp0)"))
      << text;
  EXPECT_TRUE(has(text, "fix: if this printer is used only through libzarn: echo 'blacklist "
                        "usblp' | sudo tee /etc/modprobe.d/zarn-no-usblp.conf && sudo modprobe -r "
                        "usblp"))
      << text;
  f.usb[1].holders = {{4242, "cupsd"}};
  findings = diagnose(f);
  EXPECT_TRUE(any_problem(findings));
  EXPECT_TRUE(has(render(findings), "in use by cupsd (PID 4242)"));
}

TEST(Doctor, IppUsbRunningOrHoldingThePrinter)
{
  Facts f = usb_facts();
  f.ipp_usb = {{311, "ipp-usb"}};
  auto findings = diagnose(f);
  std::string text = render(findings);
  EXPECT_FALSE(any_problem(findings)) << "running elsewhere is only a note: " << text;
  EXPECT_TRUE(has(text, "note: the ipp-usb service is running: ipp-usb (PID 311)")) << text;
  f.usb[1].holders = {{311, "ipp-usb"}};
  findings = diagnose(f);
  text = render(findings);
  EXPECT_TRUE(any_problem(findings));
  EXPECT_TRUE(has(text, "problem: the USB printer on bus 001 address 007: the ipp-usb service "
                        "holds it: ipp-usb (PID 311)"))
      << text;
  EXPECT_TRUE(has(text, "fix: sudo systemctl stop ipp-usb.service\n")) << text;
  EXPECT_TRUE(has(text, "sudo systemctl mask ipp-usb.service")) << text;
}

TEST(Doctor, SerialGroupAndTerminalTraps)
{
  Facts f;
  f.target = Address::parse("serial:ttyUSB0");
  f.user = {1000, "alice", {1000}};
  SerialDevice s;
  s.node = {"/dev/ttyUSB0", true, 0660, 0, 20, "dialout", false, EACCES};
  s.is_terminal = true;
  s.kind = "terminal";
  f.serial = {s};
  std::string text = doctor(f);
  EXPECT_TRUE(has(text, "problem: you (alice) are not in the group dialout of /dev/ttyUSB0\n"))
      << text;
  EXPECT_TRUE(has(text, "fix: sudo usermod -aG dialout alice\n")) << text;
  // Found among the adapters while checking USB, the same is a note.
  f.target = Address{};
  EXPECT_TRUE(has(doctor(f), "note: you (alice) are not in the group dialout"));

  f.target = Address::parse("serial:ttyUSB0");
  f.user.groups.push_back(20);
  f.serial[0].node.mode = 0640;
  EXPECT_TRUE(has(doctor(f), "fix: sudo chmod g+rw /dev/ttyUSB0"));
  f.serial[0] = {};
  f.serial[0].node = {"/dev/ttyUSB0", true, 0644, 0, 0, "root", true, 0};
  f.serial[0].kind = "regular file";
  text = doctor(f);
  EXPECT_TRUE(has(text, "problem: /dev/ttyUSB0 is not a terminal (regular file)")) << text;
}

TEST(Doctor, ReadsSerialFactsFromTheFiles)
{
  ZARN_REQUIRE_FAKE(::geteuid() == 0, "not root: cannot make files under /dev");
  const std::string name = "ttyZDOC" + std::to_string(::getpid());
  const std::string path = "/dev/" + name;
  std::ofstream(path) << "x";
  std::string text = render(diagnose(gather(Address::parse("serial:" + name))));
  fs::remove(path);
  EXPECT_TRUE(has(text, "problem: " + path + " is not a terminal (regular file)")) << text;
  text = render(diagnose(gather(Address::parse("serial:" + name))));
  EXPECT_TRUE(has(text, "problem: no serial device " + path)) << text;
  // The first virtual console is a terminal, but a screen.
  if (struct stat st{}; ::stat("/dev/tty0", &st) == 0 && S_ISCHR(st.st_mode)) {
    text = render(diagnose(gather(Address::parse("serial:tty0"))));
    EXPECT_TRUE(has(text, "problem: /dev/tty0 is a console (a screen and keyboard), not a serial "
                          "line\n"))
        << text;
  }

  // A pty slave through a link is a terminal.
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  char slave_name[64];
  ASSERT_EQ(::ttyname_r(slave, slave_name, sizeof slave_name), 0);
  fs::create_symlink(slave_name, path);
  text = render(diagnose(gather(Address::parse("serial:" + name))));
  fs::remove(path);
  ::close(slave);
  ::close(master);
  EXPECT_TRUE(has(text, "ok: the serial device " + path + " (" + slave_name + "): you may open it"))
      << text;
}

TEST(Doctor, TcpLookupAndConnection)
{
  std::string text = render(diagnose(gather(Address::parse("tcp://no-such-printer.invalid"))));
  EXPECT_TRUE(has(text, "problem: cannot find the host 'no-such-printer.invalid'")) << text;
  zarn::test::FakeTcpPrinter printer;
  const std::string port = std::to_string(printer.port());
  text = render(diagnose(gather(Address::parse("tcp://localhost:" + port))));
  EXPECT_TRUE(has(text, "ok: tcp://localhost:" + port + " (127.0.0.1) accepts connections"))
      << text;
}

TEST(UdevRule, ShippedFileGivesTheSeatAccessToTheVendorId)
{
  const std::string rules = slurp(fs::path(ZARN_SOURCE_DIR) / "cli" / "70-zarn.rules");
  std::vector<std::string> lines;
  std::istringstream in(rules);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#')
      lines.push_back(line);
  ASSERT_EQ(lines, std::vector<std::string>{udev_rule()});
  EXPECT_TRUE(has(udev_rule(), "ATTR{idVendor}==\"1203\""));
  EXPECT_TRUE(has(udev_rule(), "TAG+=\"uaccess\""));
}

} // namespace
} // namespace zarn::cli::test
