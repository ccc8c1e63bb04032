#include "run_files.h"

#include "audio/wave_file.h"
#include "exit_status.h"
#include "tape/tape_signal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool is_standard_stream(const char *name)
{
    return std::strcmp(name, "-") == 0;
}

// Why the file open on `fd` may not take part in the run, or nullptr when it may. Audio never
// floods a terminal, and a forgotten redirection never waits for keystrokes. Only a regular
// file can be destroyed by serving as both image and output; one that can't be examined is
// refused, since taking it for another would risk the image.
const char *refusal(int fd, FILE *other_side)
{
    struct stat opened;
    if (fstat(fd, &opened) != 0)
        return std::strerror(errno);
    if (S_ISDIR(opened.st_mode))
        return std::strerror(EISDIR);
    if (isatty(fd))
        return "It is a terminal.";
    if (!other_side)
        return nullptr;
    struct stat other;
    if (fstat(fileno(other_side), &other) != 0)
        return std::strerror(errno);
    if (S_ISREG(other.st_mode) && other.st_dev == opened.st_dev && other.st_ino == opened.st_ino)
        return "The tape image and the output are the same file.";
    return nullptr;
}

// Says whether O_CREAT made the file: only a file that this run made may be taken back.
int open_named(const char *name, int flags, bool &created)
{
    int fd = (flags & O_CREAT) != 0 ? open(name, flags | O_EXCL, 0666) : -1;
    created = fd >= 0;
    if (!created)
        fd = open(name, flags, 0666);
    return fd;
}

struct run_file {
    FILE *stream;
    bool created;
};

run_file open_run_file(const char *name, int flags, int standard_fd, FILE *other_side)
{
    bool created = false;
    const int fd = is_standard_stream(name) ? dup(standard_fd) : open_named(name, flags, created);
    if (fd < 0)
        fail_opening(name, std::strerror(errno));
    if (const char *reason = refusal(fd, other_side)) {
        close(fd);
        fail_opening(name, reason);
    }
    FILE *stream = fdopen(fd, flags == O_RDONLY ? "rb" : "wb");
    if (!stream)
        fail_opening(name, std::strerror(errno));
    return {stream, created};
}

// The output named by the last -o when this run created it, else nullptr.
const char *created_output = nullptr;

// "RIFF", the length, "WAVE". The bytes are read where the image stands without moving it,
// which only a regular file allows: a pipe gives up what it is read for good.
bool is_wave_file(FILE *image)
{
    constexpr char riff[] = "RIFF";
    constexpr char wave_form[] = "WAVE";
    constexpr std::size_t form_offset = 8;
    unsigned char start[12];
    const int fd = fileno(image);
    const off_t offset = is_regular(image) ? lseek(fd, 0, SEEK_CUR) : -1;
    return offset >= 0 && pread(fd, start, sizeof start, offset) == ssize_t{sizeof start} &&
           std::memcmp(start, riff, 4) == 0 && std::memcmp(start + form_offset, wave_form, 4) == 0;
}

} // namespace

FILE *open_image(const char *name, FILE *output)
{
    return open_run_file(name, O_RDONLY, STDIN_FILENO, output).stream;
}

FILE *open_tape_image(const char *name, FILE *output)
{
    FILE *image = open_image(name, output);
    if (is_wave_file(image)) {
        if (created_output)
            unlink(created_output);
        fail_opening(name, "It is a WAVE file, not a tape image: are -i and -o swapped?");
    }
    return image;
}

FILE *open_output(const char *name, FILE *image)
{
    const run_file output = open_run_file(name, O_WRONLY | O_CREAT, STDOUT_FILENO, image);
    created_output = output.created ? name : nullptr;
    return output.stream;
}

// Only a regular file with contents is truncated: a device has nothing to empty, and some
// file systems flush a truncated file to disk when it is closed, which costs a new file a
// tenth of its run.
void start_output(FILE *output, const char *name)
{
    struct stat opened;
    const int fd = fileno(output);
    if (is_standard_stream(name))
        return;
    if (fstat(fd, &opened) != 0)
        fail_opening(name, std::strerror(errno));
    if (S_ISREG(opened.st_mode) && opened.st_size > 0 && ftruncate(fd, 0) != 0)
        fail_opening(name, std::strerror(errno));
}

// Appended data would put the patch at the end of the file instead of in its header.
bool can_patch(FILE *output)
{
    return is_regular(output) && !(fcntl(fileno(output), F_GETFL) & O_APPEND) &&
           ftello(output) == 0;
}

FILE *count_image(FILE *image, const char *name, std::uint64_t &samples)
{
    const bool rereadable = is_regular(image);
    const off_t start = rereadable ? ftello(image) : 0;
    FILE *copy = rereadable ? nullptr : temporary_copy(name);
    if (const int error = count_zkt(image, copy, largest_wave_file, samples))
        fail_reading(name, std::strerror(error));
    if (copy) {
        std::fclose(image);
        image = copy;
    }
    if (start < 0 || fseeko(image, start, SEEK_SET) != 0)
        fail_reading(name, std::strerror(errno));
    return image;
}

FILE *temporary_copy(const char *name)
{
    const char *dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/zkt2wav-XXXXXX";
    const int fd = mkstemp(path.data());
    FILE *copy = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (!copy)
        fail_reading(
            name, ("No temporary copy can be made: " + std::string(std::strerror(errno))).c_str());
    unlink(path.c_str());
    return copy;
}

bool is_regular(FILE *stream)
{
    struct stat opened;
    return fstat(fileno(stream), &opened) == 0 && S_ISREG(opened.st_mode);
}

void fail_opening(const char *name, const char *reason)
{
    fail(exit_cannot_open, "Error opening %s.\n%s\n", name, reason);
}

void fail_reading(const char *name, const char *reason)
{
    fail(exit_io_failed, "Error reading %s.\n%s\n", name, reason);
}
