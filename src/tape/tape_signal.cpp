#include "tape/tape_signal.h"

std::uint8_t p_gain = 60;

void set_gain(int gain)
{
    p_gain = static_cast<std::uint8_t>(gain * 15);
}
