#include "check/check_command.h"

#include "check/check_session.h"
#include "check/recording_file.h"
#include "check/recovered_image.h"
#include "exit_status.h"
#include "run_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct check_request {
    const char *recording = nullptr;
    const char *image = nullptr;
    const char *recovered = nullptr;
    bool json = false;
    int channel = -1;        // -1: the one that carries the signal
    std::size_t program = 0; // the one the report, -i and -o are about, from 0
};

enum long_option { opt_check = 256, opt_json, opt_channel, opt_program };

// More programs than a day of recording could hold.
constexpr unsigned long long max_program = 1000000;

const option check_options[] = {
    {"check", required_argument, nullptr, opt_check},
    {"json", no_argument, nullptr, opt_json},
    {"channel", required_argument, nullptr, opt_channel},
    {"program", required_argument, nullptr, opt_program},
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void check_usage()
{
    std::printf("Usage:\n");
    std::printf("zkt2wav --check <recording> [-i <image>] [-o <recovered>] [--json]\n");
    std::printf("        [--channel left|right] [--program <number>]\n");
    std::exit(exit_usage);
}

// A program's number in the recording, from 1, as the list of them shows it.
std::size_t program_number(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || text[0] == '+')
        fail(exit_no_number, "Error parsing argument for '--program'.\n");
    if (errno == ERANGE || number < 1 || number > max_program)
        fail(exit_out_of_range, "Unknown program: %s.\nPrograms are numbered from 1.\n", text);
    return static_cast<std::size_t>(number);
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
        case opt_program:
            request.program = program_number(optarg) - 1;
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

// Reads the recording block by block into the check.
void decode_recording(recording_file &r, const check_request &request, check_session &s)
{
    const recording_facts facts{request.recording, r.format.name,  r.format.rate,
                                r.format.channels, 0,              r.format.lossy};
    start_check(s, facts, r.format.clip_level, request.program, request.channel);
    constexpr std::size_t frames_per_block = 65536;
    std::vector<float> interleaved(frames_per_block * static_cast<std::size_t>(r.format.channels));
    for (std::size_t frames;
         (frames = read_frames(r, request.recording, interleaved.data(), frames_per_block)) > 0;)
        check_frames(s, interleaved.data(), frames);
    finish_check(s);
}

// Reads the image only as far as the recovered bytes go: an image without end still ends.
comparison compare_with_image(const char *name, FILE *image, const check_session &s)
{
    comparison c = start_comparison(s);
    std::uint8_t block[1 << 16];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, image)) > 0;)
        if (!compare_image(c, s, block, got))
            return c;
    if (std::ferror(image))
        fail_reading(name, std::strerror(errno));
    finish_image(c, s);
    return c;
}

void check_chosen_channel(const check_request &request, const recording_format &format)
{
    if (request.channel >= format.channels)
        fail(exit_out_of_range, "Unknown channel: right.\nThe recording is mono.\n");
}

bool is_folder(const char *name)
{
    struct stat named;
    return stat(name, &named) == 0 && S_ISDIR(named.st_mode);
}

// Every program found, each into a numbered image in the folder. All the names are claimed
// before any is written: one that exists already leaves nothing written.
std::vector<recovered_image> recover_into_folder(const char *folder, const channel_heard &heard,
                                                 FILE *recording, FILE *image,
                                                 std::vector<std::string> &names)
{
    for (std::size_t i = 0; i < heard.images.size(); ++i)
        names.push_back(std::string(folder) + "/" + std::to_string(i + 1) + ".zkt");
    std::vector<recovered_image> targets;
    for (const std::string &name : names)
        targets.push_back(prepare_recovered(name.c_str(), recording, image));
    for (std::size_t i = 0; i < targets.size(); ++i)
        write_recovered(targets[i], heard.images[i]);
    return targets;
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
    // Into a folder go all the programs found, each under its number.
    const bool into_folder = request.recovered && is_folder(request.recovered);
    recovered_image recovered;
    if (request.recovered && !into_folder)
        recovered = prepare_recovered(request.recovered, r.stream, image);
    start_reading(r, request.recording);
    check_chosen_channel(request, r.format);
    check_session s;
    decode_recording(r, request, s);
    const channel_heard &h = signal_channel(s);
    if (program_missing(s))
        fail(exit_out_of_range, "Unknown program: %zu.\nThe recording holds %zu %s.\n",
             request.program + 1, h.programs.size(),
             h.programs.size() == 1 ? "program" : "programs");
    const pulse_decoder &d = reported_program(s);
    const comparison c = image ? compare_with_image(request.image, image, s) : comparison{};
    const judgement j = judge_check(s, c);
    std::vector<std::string> folder_names;
    std::vector<recovered_image> in_folder;
    if (into_folder)
        in_folder = recover_into_folder(request.recovered, h, r.stream, image, folder_names);
    else if (request.recovered && d.lead_in_found)
        write_recovered(recovered, d.bytes);
    else if (request.recovered)
        discard_recovered(recovered);
    // With the bytes on standard output, the report keeps out of their way.
    FILE *report = recovered.standard_output ? stderr : stdout;
    if (!write_check_report(report, s, c, j, request.json))
        fail(exit_io_failed, "Error writing the report.\n%s\n", std::strerror(errno));
    keep_recovered(recovered);
    for (recovered_image &program : in_folder)
        keep_recovered(program);
    close_recording(r);
    if (image)
        std::fclose(image);
    return j.pass ? exit_converted : exit_check_failed;
}
