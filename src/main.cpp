#include "audio/wave_file.h"
#include "exit_status.h"
#include "tape/tape_signal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
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

bool is_same_file(const struct stat &opened, FILE *other)
{
    struct stat known;
    return other && fstat(fileno(other), &known) == 0 && known.st_dev == opened.st_dev &&
           known.st_ino == opened.st_ino;
}

// A directory is no tape image, and the file already open on the other side is refused,
// whatever name or link reaches it: the output is emptied only once it is known not to be
// the image. An empty output is left alone, as "wb" would: some file systems flush a
// truncated file to disk when it is closed, which costs a new file a tenth of its run.
bool may_use(int fd, FILE *other_side, bool output)
{
    struct stat opened;
    if (fstat(fd, &opened) != 0 || S_ISDIR(opened.st_mode) || is_same_file(opened, other_side))
        return false;
    return !output || opened.st_size == 0 || ftruncate(fd, 0) == 0;
}

// Opens the image or the output when its option is parsed. A stream named again by a
// repeated option is replaced: the last occurrence wins.
FILE *open_run_file(FILE *previous, const char *name, FILE *other_side, bool output)
{
    const int fd = open(name, output ? O_WRONLY | O_CREAT : O_RDONLY, 0666);
    FILE *stream =
        fd >= 0 && may_use(fd, other_side, output) ? fdopen(fd, output ? "wb" : "rb") : nullptr;
    if (!stream) {
        if (fd >= 0)
            close(fd);
        fail(exit_cannot_open, "Error opening %s.\n", name);
    }
    if (previous)
        std::fclose(previous);
    return stream;
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
            zkt = open_run_file(zkt, optarg, wav, false);
            zkt_name = optarg;
            break;
        case 'o':
            wav = open_run_file(wav, optarg, zkt, true);
            wav_name = optarg;
            break;
        default:
            break;
        }
    }
    if (!zkt || !wav)
        print_usage();

    init_wav(wav);
    if (const int read_error = process_zkt(zkt, wav))
        fail(exit_io_failed, "Error reading %s.\n%s\n", zkt_name, std::strerror(read_error));
    close_wav(wav);
    return exit_converted;
}
