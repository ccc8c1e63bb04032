#include "check/check_session.h"

#include "tape/machine_timing.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace {

// The rates a recording of the signal can be made at: the conversion's lowest, and the
// highest a sound card records.
constexpr int lowest_rate = static_cast<int>(lowest_conversion_rate);
constexpr int highest_rate = 192000;

void take_program(channel_heard &heard, const recording_facts &facts, std::size_t wanted,
                  const pulse_decoder &d)
{
    if (heard.programs.size() == wanted) {
        heard.chosen = d;
        heard.chosen_found = true;
    }
    heard.programs.push_back(summarise(facts, d));
    heard.images.push_back(d.bytes);
}

// What is known of a channel before its clipped samples are counted: enough to judge a
// program as it ends.
recording_facts channel_facts(const check_session &s, std::size_t channel)
{
    recording_facts facts = s.facts;
    facts.channel = channel;
    return facts;
}

std::size_t channel_count(const check_session &s)
{
    return static_cast<std::size_t>(s.facts.channels);
}

// The one whose lead-in was found, then the one that gave more programs, then more bytes,
// then the one whose data went on longer.
std::size_t signal_channel_index(const check_session &s)
{
    if (s.chosen_channel >= 0)
        return static_cast<std::size_t>(s.chosen_channel);
    auto score = [](const channel_heard &h) {
        return std::make_tuple(!h.programs.empty() || h.decoder.lead_in_found, h.programs.size(),
                               h.decoder.bytes.size(), h.decoder.cells);
    };
    return s.facts.channels > 1 && score(s.channel[1]) > score(s.channel[0]) ? 1 : 0;
}

} // namespace

std::string layout_refusal(int rate, int channels)
{
    if (rate < lowest_rate || rate > highest_rate)
        return "Its rate is " + std::to_string(rate) + " Hz; recordings of " +
               std::to_string(lowest_rate) + " to " + std::to_string(highest_rate) +
               " Hz are read.";
    if (channels < 1 || channels > most_channels)
        return "It has " + std::to_string(channels) + " channels; mono or stereo is read.";
    return {};
}

void start_check(check_session &s, const recording_facts &facts, double clip_level,
                 std::size_t program, int channel)
{
    s.facts = facts;
    s.clip_level = clip_level;
    s.program = program;
    s.chosen_channel = channel;
    s.finished = false;
    for (std::size_t c = 0; c < channel_count(s); ++c) {
        channel_heard &h = s.channel[c];
        h = channel_heard{};
        start_decoding(h.decoder, facts.rate);
        h.decoder.on_program = [&h, facts = channel_facts(s, c), program](const pulse_decoder &d) {
            take_program(h, facts, program, d);
        };
    }
}

void check_frames(check_session &s, const float *interleaved, std::size_t frames)
{
    const std::size_t channels = channel_count(s);
    const double clip_level = s.clip_level;
    s.one_channel.resize(frames);
    float *samples = s.one_channel.data();
    for (std::size_t c = 0; c < channels; ++c) {
        std::uint64_t clipped = 0;
        for (std::size_t i = 0; i < frames; ++i) {
            const float sample = interleaved[i * channels + c];
            samples[i] = sample;
            clipped += std::fabs(sample) >= clip_level;
        }
        s.channel[c].clipped += clipped;
        s.recent_clipped += clipped;
        decode_samples(s.channel[c].decoder, samples, frames);
    }
}

void finish_check(check_session &s)
{
    for (std::size_t c = 0; c < channel_count(s); ++c) {
        channel_heard &h = s.channel[c];
        finish_decoding(h.decoder);
        h.decoder.on_program = nullptr;
        if (h.decoder.lead_in_found)
            take_program(h, channel_facts(s, c), s.program, h.decoder);
        // What was measured of the whole recording, not only up to the chosen program's end.
        if (h.chosen_found)
            take_recording_measures(h.chosen, h.decoder);
    }
    s.facts.channel = signal_channel_index(s);
    s.facts.clipped = s.channel[s.facts.channel].clipped;
    s.finished = true;
}

const channel_heard &signal_channel(const check_session &s)
{
    return s.channel[signal_channel_index(s)];
}

const pulse_decoder &reported_program(const check_session &s)
{
    const channel_heard &h = signal_channel(s);
    return h.chosen_found ? h.chosen : h.decoder;
}

std::optional<program_in_reading> program_being_read(const check_session &s)
{
    const std::size_t channel = signal_channel_index(s);
    const pulse_decoder &d = s.channel[channel].decoder;
    if (s.finished || !d.lead_in_found)
        return std::nullopt;
    return program_in_reading{summarise(channel_facts(s, channel), d), data_closed(d)};
}

bool program_missing(const check_session &s)
{
    const channel_heard &h = signal_channel(s);
    return !h.programs.empty() && !h.chosen_found;
}

comparison start_comparison(const check_session &s)
{
    comparison c;
    c.possible_losses = possible_losses(reported_program(s));
    return c;
}

bool compare_image(comparison &c, const check_session &s, const std::uint8_t *image,
                   std::size_t count)
{
    return compare_image_bytes(c, image, count, reported_program(s).bytes);
}

void finish_image(comparison &c, const check_session &s)
{
    finish_comparison(c, reported_program(s).bytes);
}

judgement judge_check(const check_session &s, const comparison &c)
{
    return judge(s.facts, reported_program(s), c);
}

bool write_check_report(FILE *out, const check_session &s, const comparison &c,
                        const judgement &j, bool json)
{
    const program_list programs{signal_channel(s).programs, s.program};
    const pulse_decoder &d = reported_program(s);
    return json ? write_json_report(out, s.facts, d, c, j, programs)
                : write_text_report(out, s.facts, d, c, j, programs);
}

level_now read_level(check_session &s)
{
    double peak = 0;
    for (std::size_t c = 0; c < channel_count(s); ++c) {
        peak = std::max(peak, s.channel[c].decoder.recent_peak);
        s.channel[c].decoder.recent_peak = 0;
    }
    const level_now level{
        peak > 0 ? 20 * std::log10(peak) : -HUGE_VAL,
        level_words(peak, s.recent_clipped, latest_hum(signal_channel(s).decoder))};
    s.recent_clipped = 0;
    return level;
}
