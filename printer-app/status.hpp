// SPDX-License-Identifier: MIT
// The printer's status, as the host layer reports it, in IPP terms.
#pragma once

#include "zarn-client.h"

#include <pappl/pappl.h>

#include <string>

namespace zarn::app {

using Status = zarn_client_printer_status;

// True when the printer sent its status byte. No reply, a failed receive
// and a closed connection all mean the printer is out of reach.
bool answered(const Status &status);

// True when the printer answered with bit set.
bool has(const Status &status, unsigned char bit);

// The printer answered and nothing stops it: a PRINT sent now is printed.
// Printing and a temperature fault do not stop it.
bool ready_to_print(const Status &status);

// printer-state-reasons for a status ("offline" for no answer). A printer
// paused at its panel has no bit here: the driver pauses the PAPPL printer,
// which shows as "paused".
pappl_preason_t reasons_for(const Status &status);

// "media-empty, cover-open", "paused", "no reply from the printer" or
// "the printer disconnected".
std::string describe(const Status &status);

} // namespace zarn::app
