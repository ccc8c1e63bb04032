#pragma once

#include <cstdint>
#include <iterator>

// The recording machine's timing, in cycles of its 3 MHz clock: what the converter writes and
// what the check expects to hear.

constexpr std::uint32_t machine_cycles_per_second = 3000000;

// The lead-in. Each tone period starts with its low half.
constexpr std::uint32_t opening_silence_cycles = 55300;
constexpr std::uint32_t tone_half_period_cycles = 2656;
constexpr int tone_periods = 12;
constexpr std::uint32_t closing_silence_cycles = 25238;

// A cell's pulse, for a 0; a 1 is two pulses, each part halved. The last cell of a byte has
// the longer high part.
constexpr std::uint32_t normal_high_cycles = 546;
constexpr std::uint32_t last_high_cycles = 680;
constexpr std::uint32_t low_cycles = 3878;

constexpr std::uint32_t normal_cell_cycles = normal_high_cycles + low_cycles;
constexpr std::uint32_t last_cell_cycles = last_high_cycles + low_cycles;
constexpr int cells_per_byte = 7;

// The sample rates a conversion can be made at, the lowest last.
constexpr std::uint32_t conversion_rates[] = {48000, 44100, 22050, 11025, 8000};
constexpr std::uint32_t lowest_conversion_rate = 8000;
static_assert(lowest_conversion_rate == conversion_rates[std::size(conversion_rates) - 1]);

// Whole samples in `cycles` at `rate`, truncated: remainders are never carried. The product
// stays below 2^32 for every duration of the signal at every conversion rate.
constexpr std::uint32_t samples_at(std::uint32_t cycles, std::uint32_t rate)
{
    return cycles * rate / machine_cycles_per_second;
}

// The samples of one pulse of a cell carrying `bit`, high part and low part together.
constexpr std::uint32_t pulse_samples_at(std::uint32_t high_cycles, int bit, std::uint32_t rate)
{
    return samples_at(high_cycles >> bit, rate) + samples_at(low_cycles >> bit, rate);
}

// The samples of a whole cell carrying `bit`, the last of a byte or not, as the converter
// writes it at `rate`.
constexpr std::uint32_t cell_samples_at(bool last, int bit, std::uint32_t rate)
{
    return pulse_samples_at(last ? last_high_cycles : normal_high_cycles, bit, rate) << bit;
}

// The samples of one period of the lead-in's tone at `rate`.
constexpr std::uint32_t tone_period_samples_at(std::uint32_t rate)
{
    return 2 * samples_at(tone_half_period_cycles, rate);
}
