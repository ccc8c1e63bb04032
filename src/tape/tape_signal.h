#pragma once

#include <cstdint>

// The high level of every pulse and of the lead-in tone: gain x 15, gain 4 unless -g says
// otherwise.
extern std::uint8_t p_gain;

// Turns a gain of 1..7 into the high level.
void set_gain(int gain);
