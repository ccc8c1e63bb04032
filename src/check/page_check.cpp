#include "check/check_session.h"

#include <emscripten/emscripten.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// The check as the page calls it: one recording at a time, fed as the page reads a file or
// hears the microphone, judged and reported by the same code as the command line's.

namespace {

check_session session;
std::vector<float> frames_in;
std::vector<std::uint8_t> image_in;
comparison image_comparison;
// Whether an image is being compared, and whether it has gone past the recovered bytes.
bool image_compared = false;
bool image_past = false;
std::string text_out;

std::string written_report(const check_session &s, const comparison &c, bool json)
{
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    if (!out)
        return {};
    write_check_report(out, s, c, judge_check(s, c), json);
    std::fclose(out);
    std::string report(text, size);
    std::free(text);
    return report;
}

nlohmann::ordered_json program_json(const program_summary &p, bool complete)
{
    return {{"seconds", p.lead_in_start / session.facts.rate},
            {"bytes", p.bytes},
            {"margin", p.margin},
            {"verdict", p.clean ? "pass" : "fail"},
            {"complete", complete}};
}

const std::vector<std::uint8_t> &program_bytes(std::size_t index)
{
    const channel_heard &h = signal_channel(session);
    return index < h.images.size() ? h.images[index] : h.decoder.bytes;
}

} // namespace

extern "C" {

// Starts a check of a recording that has `channels` channels at `rate`; `clip_level` is the
// largest value its samples can hold, and the report is on program `program`, from 0. Returns
// why it can't be checked, or an empty text where it can.
EMSCRIPTEN_KEEPALIVE const char *check_start(int rate, int channels, double clip_level, int lossy,
                                             const char *name, const char *format, int program)
{
    text_out = layout_refusal(rate, channels);
    if (!text_out.empty())
        return text_out.c_str();
    const recording_facts facts{name, format, rate, channels, 0, lossy != 0};
    start_check(session, facts, clip_level, static_cast<std::size_t>(program), -1);
    image_comparison = comparison{};
    image_compared = image_past = false;
    return text_out.c_str();
}

// Room for `frames` frames of interleaved samples, to be filled and then fed.
EMSCRIPTEN_KEEPALIVE float *check_buffer(std::size_t frames)
{
    frames_in.resize(frames * static_cast<std::size_t>(session.facts.channels));
    return frames_in.data();
}

EMSCRIPTEN_KEEPALIVE void check_feed(std::size_t frames)
{
    check_frames(session, frames_in.data(), frames);
}

// What was heard so far, as JSON: the level since the last call, and every program found.
EMSCRIPTEN_KEEPALIVE const char *check_progress()
{
    const level_now level = read_level(session);
    const channel_heard &h = signal_channel(session);
    nlohmann::ordered_json programs = nlohmann::ordered_json::array();
    for (const program_summary &p : h.programs)
        programs.push_back(program_json(p, true));
    if (const auto reading = program_being_read(session))
        programs.push_back(program_json(reading->summary, reading->closed));
    const nlohmann::ordered_json progress = {
        {"level", {{"dbfs", level.peak_dbfs}, {"words", level.words}}},
        {"seconds", static_cast<double>(h.decoder.samples) / session.facts.rate},
        {"programs", programs}};
    text_out = progress.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    return text_out.c_str();
}

// The bytes of program `index`, from 0, as far as they have been read.
EMSCRIPTEN_KEEPALIVE std::size_t check_program_size(std::size_t index)
{
    return program_bytes(index).size();
}

EMSCRIPTEN_KEEPALIVE const std::uint8_t *check_program_bytes(std::size_t index)
{
    return program_bytes(index).data();
}

// Returns how many programs were found where the one the report is to be on is beyond them,
// or -1.
EMSCRIPTEN_KEEPALIVE int check_finish()
{
    finish_check(session);
    return program_missing(session) ? static_cast<int>(signal_channel(session).programs.size())
                                    : -1;
}

// Room for the image's next `count` bytes, to be filled and then compared.
EMSCRIPTEN_KEEPALIVE std::uint8_t *check_image_buffer(std::size_t count)
{
    image_in.resize(count);
    return image_in.data();
}

// Returns whether the image's next bytes are still wanted: not once it has gone past the
// recovered bytes.
EMSCRIPTEN_KEEPALIVE int check_image(std::size_t count)
{
    if (!image_compared)
        image_comparison = start_comparison(session);
    image_compared = true;
    if (!image_past)
        image_past = !compare_image(image_comparison, session, image_in.data(), count);
    return !image_past;
}

// The report once the recording and the image have been fed: text, or JSON.
EMSCRIPTEN_KEEPALIVE const char *check_report(int json)
{
    comparison c = image_comparison;
    if (image_compared && !image_past)
        finish_image(c, session);
    text_out = written_report(session, c, json != 0);
    return text_out.c_str();
}
}
