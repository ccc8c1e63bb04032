#include "audio/output_filter.h"

#include "audio/wave_file.h"

#include <algorithm>

double lp_accu = 0.0;
double hp_accu = 0.0;

namespace {

// Per sample, whatever the sample rate.
constexpr double lp_coefficient = 0.5577;
constexpr double hp_coefficient = 0.0070984;

// Levels up to 127 never reach the clamp; it only keeps the cast defined.
inline unsigned char centred_sample(double difference)
{
    if (difference >= 127.0)
        difference = 127.0;
    else if (difference < -127.0)
        difference = -127.0;
    return static_cast<unsigned char>(static_cast<int>(difference) + 128);
}

} // namespace

// The sample is taken before the update, so the output lags its input by one sample. The
// state stays in locals for the run: this loop is where a conversion spends its time.
void filter_output(std::uint8_t level, std::uint32_t count, FILE *wavfile)
{
    const double in = level;
    double lp = lp_accu;
    double hp = hp_accu;
    while (count > 0) {
        const std::size_t room = sizeof pending_samples.bytes - pending_samples.used;
        const std::size_t run = std::min<std::size_t>(count, room);
        unsigned char *out = pending_samples.bytes + pending_samples.used;
        for (std::size_t i = 0; i < run; ++i) {
            out[i] = centred_sample(lp - hp);
            lp = lp + (in - lp) * lp_coefficient;
            hp = hp + (lp - hp) * hp_coefficient;
        }
        pending_samples.used += run;
        count -= static_cast<std::uint32_t>(run);
        if (pending_samples.used == sizeof pending_samples.bytes)
            write_pending_samples(wavfile);
    }
    lp_accu = lp;
    hp_accu = hp;
}
