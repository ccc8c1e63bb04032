#include "audio/wave_file.h"
#include "check/check_command.h"
#include "exit_status.h"
#include "run_files.h"
#include "tape/tape_signal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

void write_usage()
{
    std::printf("ZKT2WAV v1.0\n");
    std::printf("Usage:\n");
    std::printf("zkt2wav -i <input_filename> -o <output_filename>\n");
    std::printf("Command line option:\n");
    std::printf("-g <gain> : gain, must be between 1 and 7 (default: 4)\n");
    std::printf("-h        : prints this text\n");
}

[[noreturn]] void print_usage()
{
    write_usage();
    std::exit(exit_usage);
}

// The usage text, then what it leaves out.
[[noreturn]] void print_help()
{
    write_usage();
    std::printf("-f <rate> : sample rate: 48000, 44100, 22050, 11025 or 8000 (default: 44100)\n");
    std::printf("-i -      : reads the tape image from standard input\n");
    std::printf("-o -      : writes the WAVE file to standard output\n");
    std::printf("--invert  : mirrors every sample around the centre line, for a playback chain\n");
    std::printf("            that inverts the signal\n");
    std::printf("--pad <s> : adds s seconds of silence, 0 to 60, before the lead-in and after\n");
    std::printf("            the last byte (default: 0)\n");
    std::printf(
        "--check <recording> [-i <image>] [-o <recovered>] [--json] [--channel left|right]\n");
    std::printf("          : decodes a recording (WAVE, FLAC, AIFF or Ogg, 8000 to 192000 Hz)\n");
    std::printf("            and says whether it would load. With -i, PASS means every byte\n");
    std::printf("            matches the image in bits 0 to 6; without, it means only that the\n");
    std::printf("            decode was clean. A FAIL gives its reasons, and causes measured\n");
    std::printf("            with their fixes; a PASS gives notes the machine may mind. -o\n");
    std::printf("            writes the bytes recovered, never over a file that exists; into a\n");
    std::printf("            folder, every program found, as 1.zkt, 2.zkt and so on.\n");
    std::printf("--program <n>\n");
    std::printf("          : with --check, the program that the report, -i and -o are about,\n");
    std::printf("            where a recording holds several (default: 1)\n");
    std::printf("--help    : prints this text\n");
    std::printf("--version : prints the version\n");
    std::exit(exit_converted);
}

[[noreturn]] void print_version()
{
    std::printf("zkt2wav %s\n", ZKT2WAV_VERSION);
    std::exit(exit_converted);
}

struct option_number {
    long long value;   // saturated when the number does not fit
    std::string shown; // the number as the messages show it
};

// Reads a number with the syntax of scanf's "%i": leading white space, a sign, then decimal,
// 0x hexadecimal or 0 octal, whatever follows ignored. Unlike "%i" it never wraps, so that
// no number outside the accepted ranges can pass for one inside them.
std::optional<option_number> read_option_number(const char *arg)
{
    const char *number = arg + std::strspn(arg, " \t\n\v\f\r");
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(number, &end, 0);
    if (end == number)
        return std::nullopt;
    if (errno == ERANGE)
        return option_number{value, std::string(number, static_cast<const char *>(end))};
    return option_number{value, std::to_string(value)};
}

bool is_supported_rate(long long rate)
{
    return std::find(std::begin(conversion_rates), std::end(conversion_rates), rate) !=
           std::end(conversion_rates);
}

void apply_rate_option(const char *arg)
{
    const auto rate = read_option_number(arg);
    if (!rate)
        fail(exit_no_number, "Error parsing argument for '-f'.\n");
    if (!is_supported_rate(rate->value))
        fail(exit_out_of_range,
             "Unsupported sample rate: %s.\n"
             "Supported sample rates are: 48000, 44100, 22050, 11025 and 8000.\n",
             rate->shown.c_str());
    set_sample_rate(static_cast<std::uint32_t>(rate->value));
}

void apply_gain_option(const char *arg)
{
    const auto gain = read_option_number(arg);
    if (!gain)
        fail(exit_no_number, "Error parsing argument for '-g'.\n");
    if (gain->value < 1 || gain->value > 7)
        fail(exit_out_of_range, "Illegal gain value: %s.\nGain must be between 1 and 7.\n",
             gain->shown.c_str());
    set_gain(static_cast<int>(gain->value));
}

struct pad_seconds {
    std::uint32_t whole;
    const char *fraction; // the digits after the point, as many as were given
};

bool is_zero(const char *digits)
{
    return digits[std::strspn(digits, "0")] == '\0';
}

// A plain decimal number: a sign, digits, a point and more digits, nothing else. The value is
// kept exact, since the silence is the rate times it, rounded down.
pad_seconds read_pad_option(const char *arg)
{
    constexpr const char *digits = "0123456789";
    const bool negative = *arg == '-';
    const char *whole = arg + (*arg == '-' || *arg == '+');
    const char *end = whole + std::strspn(whole, digits);
    const char *fraction = *end == '.' ? end + 1 : end;
    const char *fraction_end = fraction + std::strspn(fraction, digits);
    if (*fraction_end != '\0' || (end == whole && fraction_end == fraction))
        fail(exit_no_number, "Error parsing argument for '--pad'.\n"
                             "Pad must be a number of seconds from 0 to 60, like 1.5.\n");
    std::uint32_t seconds = 0;
    for (const char *digit = whole; digit < end && seconds <= 60; ++digit)
        seconds = seconds * 10 + static_cast<std::uint32_t>(*digit - '0');
    const bool has_fraction = !is_zero(fraction);
    if (seconds > 60 || (seconds == 60 && has_fraction) || (negative && (seconds || has_fraction)))
        fail(exit_out_of_range, "Illegal pad value: %s.\nPad must be between 0 and 60 seconds.\n",
             arg);
    return {seconds, fraction};
}

// A stream named again by a repeated option is replaced: the last occurrence wins.
void replace_stream(FILE *&stream, FILE *opened)
{
    if (stream)
        std::fclose(stream);
    stream = opened;
}

// Said once the conversion has succeeded: its output and status stay those of any other.
void warn_about(const image_summary &image)
{
    if (image.bytes == 0)
        std::fprintf(stderr,
                     "Warning: the tape image is empty; the WAVE file holds only the lead-in.\n");
    if (image.bit7_bytes == 1)
        std::fprintf(stderr, "Warning: 1 byte uses bit 7, which the signal does not carry.\n");
    else if (image.bit7_bytes > 1)
        std::fprintf(stderr, "Warning: %llu bytes use bit 7, which the signal does not carry.\n",
                     static_cast<unsigned long long>(image.bit7_bytes));
}

// Header, pad, lead-in, data, pad, close. An output that can't be patched at the end gets
// its true lengths up front, from a first pass over the image.
void convert(FILE *zkt, const char *zkt_name, FILE *wav)
{
    start_output(wav, wav_name);
    if (!can_patch(wav)) {
        std::uint64_t data_samples = 0;
        zkt = count_image(zkt, zkt_name, data_samples);
        promise_wav_length(wav_header_size + signal_samples(data_samples));
    }
    init_wav(wav);
    image_summary image;
    if (const int read_error = process_zkt(zkt, wav, image))
        fail_reading(zkt_name, std::strerror(read_error));
    output_pad(wav);
    close_wav(wav);
    warn_about(image);
}

enum long_option { opt_help = 256, opt_version, opt_invert, opt_pad };

const option long_options[] = {
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {"invert", no_argument, nullptr, opt_invert},
    {"pad", required_argument, nullptr, opt_pad},
    {nullptr, 0, nullptr, 0},
};

// --check turns the whole command line into a check of a recording.
bool wants_check(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--check") == 0 || std::strncmp(argv[i], "--check=", 8) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (wants_check(argc, argv))
        return check_command(argc, argv);
    FILE *zkt = nullptr;
    const char *zkt_name = nullptr;
    FILE *wav = nullptr;
    pad_seconds pad = {0, ""};
    for (bool finished = false; !finished;) {
        switch (getopt_long(argc, argv, "?hf:i:o:g:", long_options, nullptr)) {
        case -1:
            finished = true;
            break;
        case 'h':
        case '?':
            print_usage();
        case opt_help:
            print_help();
        case opt_version:
            print_version();
        case 'f':
            apply_rate_option(optarg);
            break;
        case 'g':
            apply_gain_option(optarg);
            break;
        case opt_pad:
            pad = read_pad_option(optarg);
            break;
        case opt_invert:
            wav_inverted = true;
            break;
        case 'i':
            replace_stream(zkt, open_tape_image(optarg, wav));
            zkt_name = optarg;
            break;
        case 'o':
            replace_stream(wav, open_output(optarg, zkt));
            wav_name = optarg;
            break;
        default:
            break;
        }
    }
    if (!zkt || !wav)
        print_usage();
    p_pad_samples = seconds_to_samples(pad.whole, pad.fraction);
    convert(zkt, zkt_name, wav);
    return exit_converted;
}
