#include "tape/tape_signal.h"

namespace {

// A cell's pulses, in machine cycles, for a 0; a 1 divides each by two.
constexpr std::uint32_t normal_high_cycles = 546;
constexpr std::uint32_t last_high_cycles = 680;
constexpr std::uint32_t low_cycles = 3878;

// Each pulse starts high and every cell ends low.
void output_cell(FILE *fp, int bit, std::uint32_t high_cycles)
{
    const std::uint32_t pulses = 1u << bit;
    for (std::uint32_t pulse = 0; pulse < pulses; ++pulse) {
        output_segment(fp, high_cycles / pulses, p_gain);
        output_segment(fp, low_cycles / pulses, p_silence);
    }
}

} // namespace

void dump_bit(FILE *fp, int bit)
{
    output_cell(fp, bit, normal_high_cycles);
}

void dump_last_bit(FILE *fp, int bit)
{
    output_cell(fp, bit, last_high_cycles);
}

// Bits 1 to 6 in that order, then bit 0 in the last cell; bit 7 is not sent.
void output_wav_byte(FILE *wavfile, std::uint8_t byte)
{
    for (int bit = 1; bit <= 6; ++bit)
        dump_bit(wavfile, (byte >> bit) & 1);
    dump_last_bit(wavfile, byte & 1);
}
