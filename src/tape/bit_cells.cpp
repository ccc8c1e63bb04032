#include "tape/tape_signal.h"

namespace {

// Hands each segment of a cell, in order, to `segment(cycles, level)`: the one shape that is
// both emitted and counted. Each pulse starts high and every cell ends low.
template <typename Segment> void cell_segments(int bit, std::uint32_t high_cycles, Segment segment)
{
    const std::uint32_t pulses = 1u << bit;
    for (std::uint32_t pulse = 0; pulse < pulses; ++pulse) {
        segment(high_cycles / pulses, p_gain);
        segment(low_cycles / pulses, p_silence);
    }
}

void output_cell(FILE *fp, int bit, std::uint32_t high_cycles)
{
    cell_segments(bit, high_cycles, [fp](std::uint32_t cycles, std::uint8_t level) {
        output_segment(fp, cycles, level);
    });
}

std::uint32_t cell_samples(int bit, std::uint32_t high_cycles)
{
    std::uint32_t samples = 0;
    cell_segments(bit, high_cycles, [&samples](std::uint32_t cycles, std::uint8_t) {
        samples += cycles_to_samples(cycles);
    });
    return samples;
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

std::uint32_t byte_samples(std::uint8_t byte)
{
    std::uint32_t samples = cell_samples(byte & 1, last_high_cycles);
    for (int bit = 1; bit <= 6; ++bit)
        samples += cell_samples((byte >> bit) & 1, normal_high_cycles);
    return samples;
}
