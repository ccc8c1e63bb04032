#pragma once

#include <cstdint>
#include <cstdio>

// The filter's state, carried from each sample to the next for the whole run: a fast
// low-pass of the input levels, and a slow follower of it whose difference removes the DC.
extern double lp_accu;
extern double hp_accu;

// Appends `count` samples, one per sample period at the input `level` (the low or the high
// level of the signal), each the filtered signal centred on 128.
void filter_output(std::uint8_t level, std::uint32_t count, FILE *wavfile);
