#pragma once

#include "check/check_report.h"
#include "check/pulse_decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// A check fed samples as they come, whether read from a file or heard by a microphone: each
// channel decoded, every program found on it kept, and the one the report is on chosen. It
// reads nothing itself, so the command line and the page judge and report alike.

// What one channel held: every program found, the bytes of each, and the whole state of the
// one the report is on.
struct channel_heard {
    pulse_decoder decoder;
    std::uint64_t clipped = 0;
    std::vector<program_summary> programs;
    std::vector<std::vector<std::uint8_t>> images;
    pulse_decoder chosen;
    bool chosen_found = false;
};

// Mono or stereo: a third channel is nothing a player sends.
constexpr int most_channels = 2;

struct check_session {
    recording_facts facts; // its channel and clipped samples are known once it is finished
    double clip_level = 1; // the largest value the recording's samples can hold
    std::size_t program = 0; // the one the report is on, from 0
    int chosen_channel = -1; // -1: the one that carries the signal
    bool finished = false;
    channel_heard channel[most_channels];
    std::vector<float> one_channel;
    // The clipped samples since the level was last read; each decoder keeps its peak.
    std::uint64_t recent_clipped = 0;

    check_session() = default;
    // The decoders' listeners point into the session: it stays where it was started.
    check_session(const check_session &) = delete;
    check_session &operator=(const check_session &) = delete;
};

// Why a recording of this rate and number of channels can't be checked; empty where it can.
std::string layout_refusal(int rate, int channels);

// Starts a check of a recording with `facts.channels` channels at `facts.rate`, which
// layout_refusal() accepts.
void start_check(check_session &s, const recording_facts &facts, double clip_level,
                 std::size_t program, int channel);

// Feeds frames of interleaved samples in -1..1, in recording order.
void check_frames(check_session &s, const float *interleaved, std::size_t frames);

// Reads the last cells once the recording has ended, and settles which channel carries the
// signal.
void finish_check(check_session &s);

// The channel that carries the signal, or the one chosen: while recording, as heard so far.
const channel_heard &signal_channel(const check_session &s);

// The program the report is on: the one chosen, or all that was heard where none was found.
const pulse_decoder &reported_program(const check_session &s);

// The program being read while the recording goes on, as the list of programs shows it, and
// whether its bytes are final; none before a lead-in, or once the check is finished (it is
// then among those found).
struct program_in_reading {
    program_summary summary;
    bool closed;
};
std::optional<program_in_reading> program_being_read(const check_session &s);

// Whether the program the report is to be on was asked for beyond those found.
bool program_missing(const check_session &s);

// The image's bytes against the reported program's, fed as the image is read.
comparison start_comparison(const check_session &s);
bool compare_image(comparison &c, const check_session &s, const std::uint8_t *image,
                   std::size_t count);
void finish_image(comparison &c, const check_session &s);

judgement judge_check(const check_session &s, const comparison &c);

// The report as text, or as JSON. Returns false when it could not be written.
bool write_check_report(FILE *out, const check_session &s, const comparison &c,
                        const judgement &j, bool json);

// What a meter says of the level since it was last read, and that level in dBFS.
struct level_now {
    double peak_dbfs;
    std::string words;
};
level_now read_level(check_session &s);
