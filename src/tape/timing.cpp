#include "audio/output_filter.h"
#include "audio/wave_file.h"
#include "tape/tape_signal.h"

#include <cstring>

std::uint8_t p_gain = 60;
std::uint32_t p_pad_samples = 0;

namespace {

// Hands each segment of the lead-in, in order, to `segment(cycles, level)`: the one shape
// that is both emitted and counted.
template <typename Segment> void lead_in_segments(Segment segment)
{
    segment(opening_silence_cycles, p_silence);
    for (int period = 0; period < tone_periods; ++period) {
        segment(tone_half_period_cycles, p_silence);
        segment(tone_half_period_cycles, p_gain);
    }
    segment(closing_silence_cycles, p_silence);
}

} // namespace

// `wave` is constant-initialised, so this copy holds the header as a run starts.
static const wav_header initial_wave = wave;

void reset_conversion()
{
    wave = initial_wave;
    set_gain(4);
    p_pad_samples = 0;
    lp_accu = 0.0;
    hp_accu = 0.0;
    pending_samples.used = 0;
    wav_bytes_written = 0;
    wav_promised_length = 0;
    wav_inverted = false;
    wav_name = "";
}

void set_gain(int gain)
{
    p_gain = static_cast<std::uint8_t>(gain * 15);
}

std::uint32_t cycles_to_samples(std::uint32_t cycles)
{
    return samples_at(cycles, wave.nSamplesPerSec);
}

void output_segment(FILE *wavfile, std::uint32_t cycles, std::uint8_t level)
{
    filter_output(level, cycles_to_samples(cycles), wavfile);
}

// Digit by digit from the last, keeping only the whole part: for a whole a and any x,
// floor((a + x) / 10) = floor((a + floor(x)) / 10), so no decimal fraction is ever rounded.
std::uint32_t seconds_to_samples(std::uint32_t whole, const char *fraction)
{
    const std::uint32_t rate = wave.nSamplesPerSec;
    std::uint32_t fraction_samples = 0;
    for (std::size_t digit = std::strlen(fraction); digit-- > 0;)
        fraction_samples =
            (static_cast<std::uint32_t>(fraction[digit] - '0') * rate + fraction_samples) / 10;
    return whole * rate + fraction_samples;
}

void output_pad(FILE *wavfile)
{
    filter_output(p_silence, p_pad_samples, wavfile);
}

void init_wav(FILE *wavfile)
{
    write_wav_header(wavfile);
    output_pad(wavfile);
    lead_in_segments([wavfile](std::uint32_t cycles, std::uint8_t level) {
        output_segment(wavfile, cycles, level);
    });
}

std::uint64_t signal_samples(std::uint64_t data_samples)
{
    std::uint64_t samples = data_samples + 2 * std::uint64_t{p_pad_samples};
    lead_in_segments(
        [&samples](std::uint32_t cycles, std::uint8_t) { samples += cycles_to_samples(cycles); });
    return samples;
}
