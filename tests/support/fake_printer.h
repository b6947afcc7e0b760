// Kept only for the emulator's tests, which still include the old name;
// remove once they include fake_printer.hpp.
#pragma once
#include "fake_printer.hpp"
