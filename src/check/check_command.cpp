#include "check/check_command.h"

#include "check/check_report.h"
#include "check/pulse_decoder.h"
#include "check/recording_file.h"
#include "check/recovered_image.h"
#include "exit_status.h"
#include "run_files.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

struct check_request {
    const char *recording = nullptr;
    const char *image = nullptr;
    const char *recovered = nullptr;
    bool json = false;
    int channel = -1; // -1: the one that carries the signal
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
    // A word left over is most likely an image whose -i was forgotten: not a check to run.
    if (!request.recording || optind < argc)
        check_usage();
    return request;
}

// The recording's channels, each through a decoder of its own, with its clipped samples.
struct channels_heard {
    pulse_decoder decoders[2];
    std::uint64_t clipped[2] = {0, 0};
};

void decode_recording(recording_file &r, const char *name, channels_heard &heard)
{
    const auto channels = static_cast<std::size_t>(r.format.channels);
    for (std::size_t c = 0; c < channels; ++c)
        start_decoding(heard.decoders[c], r.format.rate);
    constexpr std::size_t frames_per_block = 65536;
    std::vector<float> interleaved(frames_per_block * channels);
    std::vector<float> channel(frames_per_block);
    for (std::size_t frames;
         (frames = read_frames(r, name, interleaved.data(), frames_per_block)) > 0;) {
        for (std::size_t c = 0; c < channels; ++c) {
            for (std::size_t i = 0; i < frames; ++i) {
                channel[i] = interleaved[i * channels + c];
                heard.clipped[c] += std::fabs(channel[i]) >= r.format.clip_level;
            }
            decode_samples(heard.decoders[c], channel.data(), frames);
        }
    }
    for (std::size_t c = 0; c < channels; ++c)
        finish_decoding(heard.decoders[c]);
}

// The channel that carries the signal: the one whose lead-in was found, then the one that
// gave more bytes, then the one whose data went on longer.
std::size_t signal_channel(const channels_heard &heard, int channels, int chosen)
{
    if (chosen >= 0)
        return static_cast<std::size_t>(chosen);
    auto score = [](const pulse_decoder &d) {
        return std::make_tuple(d.lead_in_found, d.bytes.size(), d.cells);
    };
    return channels > 1 && score(heard.decoders[1]) > score(heard.decoders[0]) ? 1 : 0;
}

// Reads the image only as far as the recovered bytes go: an image without end still ends.
comparison compare_with_image(const char *name, FILE *image, const std::vector<std::uint8_t> &bytes)
{
    comparison c;
    std::uint8_t block[1 << 16];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, image)) > 0;)
        if (!compare_image_bytes(c, block, got, bytes))
            return c;
    if (std::ferror(image))
        fail_reading(name, std::strerror(errno));
    finish_comparison(c, bytes);
    return c;
}

void check_chosen_channel(const check_request &request, const recording_format &format)
{
    if (request.channel >= format.channels)
        fail(exit_out_of_range, "Unknown channel: right.\nThe recording is mono.\n");
}

// A standard stream that was closed gets /dev/null opened the wrong way round: its number is
// not handed to a file of the run, and writing the report to it fails as it should.
void hold_closed_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
}

} // namespace

int check_command(int argc, char *argv[])
{
    hold_closed_standard_streams();
    const check_request request = read_check_options(argc, argv);
    recording_file r = open_recording(request.recording);
    FILE *image = request.image ? open_image(request.image, nullptr) : nullptr;
    recovered_image recovered;
    if (request.recovered)
        recovered = prepare_recovered(request.recovered, r.stream, image);
    start_reading(r, request.recording);
    check_chosen_channel(request, r.format);
    channels_heard heard;
    decode_recording(r, request.recording, heard);
    const std::size_t channel = signal_channel(heard, r.format.channels, request.channel);
    const pulse_decoder &d = heard.decoders[channel];
    const comparison c = image ? compare_with_image(request.image, image, d.bytes) : comparison{};
    const recording_facts facts{request.recording,     r.format.name, r.format.rate,
                                r.format.channels,     channel,       r.format.lossy,
                                heard.clipped[channel]};
    const judgement j = judge(facts, d, c);
    if (request.recovered && d.lead_in_found)
        write_recovered(recovered, d.bytes);
    else if (request.recovered)
        discard_recovered(recovered);
    // With the bytes on standard output, the report keeps out of their way.
    FILE *report = recovered.standard_output ? stderr : stdout;
    const bool reported = request.json ? write_json_report(report, facts, d, c, j)
                                       : write_text_report(report, facts, d, c, j);
    if (!reported)
        fail(exit_io_failed, "Error writing the report.\n%s\n", std::strerror(errno));
    keep_recovered(recovered);
    close_recording(r);
    if (image)
        std::fclose(image);
    return j.pass ? exit_converted : exit_check_failed;
}
