#include "audio/output_filter.h"
#include "audio/wave_file.h"
#include "tape/tape_signal.h"

std::uint8_t p_gain = 60;

namespace {

// The lead-in, in machine cycles. Each tone period starts with its low half.
constexpr std::uint32_t opening_silence_cycles = 55300;
constexpr std::uint32_t tone_half_period_cycles = 2656;
constexpr int tone_periods = 12;
constexpr std::uint32_t closing_silence_cycles = 25238;

} // namespace

void set_gain(int gain)
{
    p_gain = static_cast<std::uint8_t>(gain * 15);
}

// The product stays below 2^32 for every duration of the signal at every supported rate.
std::uint32_t cycles_to_samples(std::uint32_t cycles)
{
    return cycles * wave.nSamplesPerSec / machine_cycles_per_second;
}

void output_segment(FILE *wavfile, std::uint32_t cycles, std::uint8_t level)
{
    filter_output(level, cycles_to_samples(cycles), wavfile);
}

void init_wav(FILE *wavfile)
{
    write_wav_header(wavfile);
    output_segment(wavfile, opening_silence_cycles, p_silence);
    for (int period = 0; period < tone_periods; ++period) {
        output_segment(wavfile, tone_half_period_cycles, p_silence);
        output_segment(wavfile, tone_half_period_cycles, p_gain);
    }
    output_segment(wavfile, closing_silence_cycles, p_silence);
}
