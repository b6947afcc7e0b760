/* SPDX-License-Identifier: MIT */
/* Links against the embedded libzarn: with no connection open, a send fails. */
#include "zarn.h"

int main(void) { return sendcommand("CLS") == 0 ? 0 : 1; }
