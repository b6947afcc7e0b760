// Kept only for the emulator's tests, which still include the old name;
// remove once they include loopback.hpp.
#pragma once
#include "loopback.hpp"
