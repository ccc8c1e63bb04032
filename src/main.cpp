#include "audio/wave_file.h"
#include "exit_status.h"
#include "run_files.h"
#include "tape/tape_signal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

[[noreturn]] void print_usage()
{
    std::printf("ZKT2WAV v1.0\n");
    std::printf("Usage:\n");
    std::printf("zkt2wav -i <input_filename> -o <output_filename>\n");
    std::printf("Command line option:\n");
    std::printf("-g <gain> : gain, must be between 1 and 7 (default: 4)\n");
    std::printf("-h        : prints this text\n");
    std::exit(exit_usage);
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
    return rate == 48000 || rate == 44100 || rate == 22050 || rate == 11025 || rate == 8000;
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

// A stream named again by a repeated option is replaced: the last occurrence wins.
void replace_stream(FILE *&stream, FILE *opened)
{
    if (stream)
        std::fclose(stream);
    stream = opened;
}

} // namespace

int main(int argc, char *argv[])
{
    FILE *zkt = nullptr;
    const char *zkt_name = nullptr;
    FILE *wav = nullptr;
    for (bool finished = false; !finished;) {
        switch (getopt(argc, argv, "?hf:i:o:g:")) {
        case -1:
            finished = true;
            break;
        case 'h':
        case '?':
            print_usage();
        case 'f':
            apply_rate_option(optarg);
            break;
        case 'g':
            apply_gain_option(optarg);
            break;
        case 'i':
            replace_stream(zkt, open_image(optarg, wav));
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

    start_output(wav, wav_name);
    init_wav(wav);
    if (const int read_error = process_zkt(zkt, wav))
        fail(exit_io_failed, "Error reading %s.\n%s\n", zkt_name, std::strerror(read_error));
    close_wav(wav);
    return exit_converted;
}
