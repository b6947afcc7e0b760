// SPDX-License-Identifier: MIT
// The connection state: process-wide, exported, and unguarded by design
// (the host makes one call at a time).
#include "zarn.h"

#include <netinet/in.h>

extern "C" {
int openportStatus = 0;
int openUsbPortResult = 0;
int openSerialPortResult = 0;
int openEthernetPortResult = 0;
int openDriverPortResult = 0;
int tty_device = -1;
int net_socket = -1;
struct libusb_device_handle *dev_handle = nullptr;
struct libusb_device **devs = nullptr;
struct libusb_context *ctx = nullptr;
struct sockaddr_in servaddr = {};
}
