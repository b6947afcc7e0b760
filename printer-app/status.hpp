// SPDX-License-Identifier: MIT
// The printer's status byte, as zarn.hpp decodes it, in IPP terms.
#pragma once

#include "zarn.hpp"

#include <pappl/pappl.h>

#include <string>

namespace zarn::app {

// The printer answered and nothing stops it: a PRINT sent now is printed.
// Printing and a temperature fault do not stop it.
bool ready_to_print(const Status &status);

// printer-state-reasons for a status ("offline" for no answer). A printer
// paused at its panel has no bit here: the driver pauses the PAPPL printer,
// which shows as "paused".
pappl_preason_t reasons_for(const Status &status);

// "media-empty, cover-open", "paused" or "no reply from the printer".
std::string describe(const Status &status);

} // namespace zarn::app
