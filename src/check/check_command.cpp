#include "check/check_command.h"

#include "check/pulse_decoder.h"
#include "exit_status.h"
#include "run_files.h"

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct check_request {
    const char *recording = nullptr;
    const char *image = nullptr;
    const char *recovered = nullptr;
    bool json = false;
    int channel = -1; // -1: the one that carries the signal
};

// The recording as libsndfile opened it, with one decoder per channel that may carry the
// signal.
struct recording {
    SNDFILE *file = nullptr;
    FILE *stream = nullptr; // kept open so that -o can be told apart from it
    SF_INFO info{};
    double clip_level = 1; // the largest value the format can hold
    std::vector<pulse_decoder> decoders;
    std::vector<std::uint64_t> clipped;
};

struct comparison {
    bool made = false;
    std::uint64_t image_bytes = 0;
    std::uint64_t mismatches = 0; // bytes that differ in bits 0 to 6, or are missing or extra
    std::uint64_t first_mismatch = 0;
    std::uint64_t bit7_only = 0; // bytes that differ only in the bit that is never recorded
};

enum long_option { opt_check = 256, opt_json, opt_channel };

const option check_options[] = {
    {"check", required_argument, nullptr, opt_check},
    {"json", no_argument, nullptr, opt_json},
    {"channel", required_argument, nullptr, opt_channel},
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void check_usage()
{
    std::printf("Usage:\n");
    std::printf("zkt2wav --check <recording> [-i <image>] [-o <recovered>] [--json]\n");
    std::printf("        [--channel left|right]\n");
    std::exit(exit_usage);
}

check_request read_check_options(int argc, char *argv[])
{
    check_request request;
    for (int option; (option = getopt_long(argc, argv, "i:o:", check_options, nullptr)) != -1;) {
        switch (option) {
        case opt_check:
            request.recording = optarg;
            break;
        case 'i':
            request.image = optarg;
            break;
        case 'o':
            request.recovered = optarg;
            break;
        case opt_json:
            request.json = true;
            break;
        case opt_channel:
            if (std::strcmp(optarg, "left") && std::strcmp(optarg, "right"))
                fail(exit_out_of_range, "Unknown channel: %s.\nChannel must be left or right.\n",
                     optarg);
            request.channel = std::strcmp(optarg, "left") == 0 ? 0 : 1;
            break;
        default:
            check_usage();
        }
    }
    if (!request.recording)
        check_usage();
    return request;
}

// Integer formats top out a step below 1; floating-point ones at 1.
double clip_level_of(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return 1 - 1.0 / 128;
    case SF_FORMAT_PCM_16:
        return 1 - 1.0 / 32768;
    case SF_FORMAT_PCM_24:
        return 1 - 1.0 / 8388608;
    case SF_FORMAT_PCM_32:
        return 1 - 1.0 / 2147483648.0;
    default:
        return 1;
    }
}

recording open_recording(const check_request &request)
{
    recording r;
    // Opened as any image is: - is standard input, and a terminal or a directory is refused.
    r.stream = open_image(request.recording, nullptr);
    r.file = sf_open_fd(fileno(r.stream), SFM_READ, &r.info, 0);
    if (!r.file)
        fail_opening(request.recording, sf_strerror(nullptr));
    if (r.info.channels > 2)
        fail_opening(request.recording, ("It has " + std::to_string(r.info.channels) +
                                         " channels; mono or stereo is read.")
                                            .c_str());
    if (request.channel >= r.info.channels)
        fail(exit_out_of_range, "Unknown channel: right.\nThe recording is mono.\n");
    r.clip_level = clip_level_of(r.info.format);
    r.decoders.resize(static_cast<std::size_t>(r.info.channels));
    r.clipped.resize(r.decoders.size());
    for (auto &decoder : r.decoders)
        start_decoding(decoder, r.info.samplerate);
    return r;
}

// Streams the recording through one decoder per channel.
void decode_recording(recording &r, const char *name)
{
    const auto channels = static_cast<std::size_t>(r.info.channels);
    constexpr sf_count_t frames_per_block = 65536;
    std::vector<float> interleaved(frames_per_block * channels);
    std::vector<float> channel(frames_per_block);
    for (sf_count_t frames;
         (frames = sf_readf_float(r.file, interleaved.data(), frames_per_block)) > 0;) {
        const auto count = static_cast<std::size_t>(frames);
        for (std::size_t c = 0; c < channels; ++c) {
            for (std::size_t i = 0; i < count; ++i) {
                channel[i] = interleaved[i * channels + c];
                r.clipped[c] += std::fabs(channel[i]) >= r.clip_level;
            }
            decode_samples(r.decoders[c], channel.data(), count);
        }
    }
    if (sf_error(r.file) != SF_ERR_NO_ERROR)
        fail_reading(name, sf_strerror(r.file));
    sf_close(r.file);
    for (auto &decoder : r.decoders)
        finish_decoding(decoder);
}

// The channel that carries the signal: the one whose lead-in was found, then the one that
// gave more bytes, then the louder.
std::size_t signal_channel(const recording &r, int chosen)
{
    if (chosen >= 0)
        return static_cast<std::size_t>(chosen);
    auto score = [](const pulse_decoder &d) {
        return std::make_tuple(d.lead_in_found, d.bytes.size(), d.peak);
    };
    return r.decoders.size() > 1 && score(r.decoders[1]) > score(r.decoders[0]) ? 1 : 0;
}

comparison compare_with_image(const char *name, FILE *image, const std::vector<std::uint8_t> &bytes)
{
    comparison c;
    c.made = true;
    for (int byte; (byte = std::fgetc(image)) != EOF; ++c.image_bytes) {
        const bool heard = c.image_bytes < bytes.size();
        const int difference = heard ? (byte ^ bytes[c.image_bytes]) : 0x7F;
        if (difference & 0x7F) {
            if (c.mismatches++ == 0)
                c.first_mismatch = c.image_bytes;
        } else {
            c.bit7_only += difference != 0;
        }
    }
    if (std::ferror(image))
        fail_reading(name, std::strerror(errno));
    if (bytes.size() > c.image_bytes) {
        if (c.mismatches == 0)
            c.first_mismatch = c.image_bytes;
        c.mismatches += bytes.size() - c.image_bytes;
    }
    return c;
}

struct findings {
    bool pass;
    std::vector<std::string> causes;
};

// The verdict, and for a fail or a thin margin the likeliest causes, each with its fix.
findings judge(const recording &r, const pulse_decoder &d, std::size_t channel, const comparison &c)
{
    findings f;
    // Silences where pulses should be are losses unless the image shows every byte arrived.
    f.pass = d.lead_in_found && (c.made ? c.mismatches == 0 : d.lost_gaps == 0);
    const bool thin = d.lead_in_found && d.worst_margin < 0.35;
    const int rate = r.info.samplerate;
    if (!d.lead_in_found)
        f.causes.push_back("start cut: no lead-in found; convert with --pad, or if the "
                           "recording is noisy, use a cleaner cable");
    if (d.inverted)
        f.causes.push_back("inverted: convert with --invert");
    if (r.clipped[channel] > 0)
        f.causes.push_back("clipped: lower the player's volume or the gain");
    // Below 44100 whole samples already bend the timing, the tone's by up to 8%.
    if (rate < 44100) {
        if (!f.pass || thin)
            f.causes.push_back("pulses too short to resolve at " + std::to_string(rate) +
                               " Hz: use 44100 or 48000");
    } else if (d.lead_in_found && std::fabs(d.speed - 1) > 0.02)
        f.causes.push_back("speed off by " + std::to_string(std::lround((d.speed - 1) * 100)) +
                           "%: the player is resampling");
    if ((!f.pass || thin) && d.lead_in_found && f.causes.empty())
        f.causes.push_back("noise: raise the player's volume, or use a cleaner cable");
    if (c.bit7_only > 0)
        f.causes.push_back(std::to_string(c.bit7_only) +
                           " bytes of the image use bit 7, which the signal never carries");
    return f;
}

double seconds(const recording &r, double sample)
{
    return sample / r.info.samplerate;
}

std::string format_name(int format)
{
    SF_FORMAT_INFO major{format & SF_FORMAT_TYPEMASK, nullptr, nullptr};
    SF_FORMAT_INFO subtype{format & SF_FORMAT_SUBMASK, nullptr, nullptr};
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major);
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &subtype, sizeof subtype);
    return std::string(subtype.name ? subtype.name : "?") + ", " + (major.name ? major.name : "?");
}

double dbfs(double level)
{
    return level > 0 ? 20 * std::log10(level) : -INFINITY;
}

void print_text(const char *name, const recording &r, std::size_t channel, const comparison &c,
                const findings &f)
{
    const pulse_decoder &d = r.decoders[channel];
    const char *channels = r.info.channels == 1 ? "mono"
                           : channel == 0       ? "stereo, signal on the left"
                                                : "stereo, signal on the right";
    std::printf("Recording: %s, %d Hz, %s, %s, %.1f s\n", name, r.info.samplerate,
                format_name(r.info.format).c_str(), channels,
                seconds(r, static_cast<double>(r.info.frames)));
    if (d.lead_in_found)
        std::printf("Lead-in: found at %.3f s (sample %.0f)\n", seconds(r, d.lead_in_start),
                    d.lead_in_start);
    else
        std::printf("Lead-in: not found\n");
    std::printf("Speed: %+.1f%% off nominal\n", (d.speed - 1) * 100);
    std::printf("Polarity: %s\n", d.inverted ? "inverted (pulses go down)" : "normal");
    std::printf("Level: peak %.1f dBFS, %llu samples clipped, DC offset %.1f%% of full scale\n",
                dbfs(d.peak), static_cast<unsigned long long>(r.clipped[channel]),
                100 * d.sum / static_cast<double>(std::max<std::uint64_t>(d.samples, 1)));
    std::printf("Bytes recovered: %zu", d.bytes.size());
    // At 44100 and above the last cell's pulse is a sample longer: it confirms the framing.
    if (r.info.samplerate >= 44100 && !d.bytes.empty())
        std::printf(", the last pulse longer in %llu of them",
                    static_cast<unsigned long long>(d.longer_last));
    std::printf("\n");
    if (c.made && c.mismatches == 0)
        std::printf("Image: all %llu bytes match in bits 0 to 6\n",
                    static_cast<unsigned long long>(c.image_bytes));
    if (c.made && c.mismatches > 0) {
        const double at = c.first_mismatch < d.byte_starts.size()
                              ? static_cast<double>(d.byte_starts[c.first_mismatch])
                              : static_cast<double>(d.samples);
        std::printf("Image: %llu of %llu bytes differ; the first at byte %llu (%.3f s, sample "
                    "%.0f)\n",
                    static_cast<unsigned long long>(c.mismatches),
                    static_cast<unsigned long long>(c.image_bytes),
                    static_cast<unsigned long long>(c.first_mismatch), seconds(r, at), at);
    }
    if (d.cells > 0)
        std::printf("Timing margin: %.0f%% (worst at cell %llu, %.3f s, sample %.0f)\n",
                    100 * d.worst_margin, static_cast<unsigned long long>(d.worst_cell),
                    seconds(r, d.worst_cell_start), d.worst_cell_start);
    std::printf("Verdict: %s\n", f.pass ? "PASS" : "FAIL");
    for (const auto &cause : f.causes)
        std::printf("Cause: %s\n", cause.c_str());
}

void print_json(const char *name, const recording &r, std::size_t channel, const comparison &c,
                const findings &f)
{
    const pulse_decoder &d = r.decoders[channel];
    nlohmann::json first = nullptr;
    if (c.made && c.mismatches > 0) {
        const auto at =
            c.first_mismatch < d.byte_starts.size() ? d.byte_starts[c.first_mismatch] : d.samples;
        first = {{"index", c.first_mismatch},
                 {"seconds", seconds(r, static_cast<double>(at))},
                 {"sample", at}};
    }
    const nlohmann::json report = {
        {"recording",
         {{"name", name},
          {"rate", r.info.samplerate},
          {"format", format_name(r.info.format)},
          {"channels", r.info.channels},
          {"channel", channel == 0 ? "left" : "right"},
          {"seconds", seconds(r, static_cast<double>(r.info.frames))}}},
        {"lead_in", d.lead_in_found ? nlohmann::json{{"seconds", seconds(r, d.lead_in_start)},
                                                     {"sample", d.lead_in_start}}
                                    : nlohmann::json(nullptr)},
        {"verdict", f.pass ? "pass" : "fail"},
        {"bytes", d.bytes.size()},
        {"longer_last_pulses", d.longer_last},
        {"mismatches", c.mismatches},
        {"first_mismatch", first},
        {"speed", d.speed},
        {"polarity", d.inverted ? "inverted" : "normal"},
        {"peak_dbfs", d.peak > 0 ? nlohmann::json(dbfs(d.peak)) : nlohmann::json(nullptr)},
        {"clipped_samples", r.clipped[channel]},
        {"dc_offset", d.sum / static_cast<double>(std::max<std::uint64_t>(d.samples, 1))},
        {"margin", d.cells > 0 ? nlohmann::json(d.worst_margin) : nlohmann::json(nullptr)},
        {"causes", f.causes},
    };
    std::printf("%s\n", report.dump(2).c_str());
}

// The recovered bytes, as a tape image that zkt2wav can convert again; bit 7 is 0.
void write_recovered(const char *name, FILE *recording_stream, FILE *image,
                     const std::vector<std::uint8_t> &bytes)
{
    FILE *out = open_recovered(name, {recording_stream, image});
    start_output(out, name);
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (!written || std::fclose(out) != 0)
        fail(exit_io_failed, "Error writing %s.\n%s\n", name, std::strerror(errno));
}

} // namespace

int check_command(int argc, char *argv[])
{
    const check_request request = read_check_options(argc, argv);
    recording r = open_recording(request);
    FILE *image = request.image ? open_image(request.image, nullptr) : nullptr;
    decode_recording(r, request.recording);
    const std::size_t channel = signal_channel(r, request.channel);
    const pulse_decoder &d = r.decoders[channel];
    const comparison c = image ? compare_with_image(request.image, image, d.bytes) : comparison{};
    const findings f = judge(r, d, channel, c);
    if (request.recovered)
        write_recovered(request.recovered, r.stream, image, d.bytes);
    if (request.json)
        print_json(request.recording, r, channel, c, f);
    else
        print_text(request.recording, r, channel, c, f);
    std::fclose(r.stream);
    if (image)
        std::fclose(image);
    return f.pass ? exit_converted : exit_check_failed;
}
