#include "run_files.h"

#include "exit_status.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail_opening(const char *name, const char *reason)
{
    fail(exit_cannot_open, "Error opening %s.\n%s\n", name, reason);
}

// Why the file open on `fd` may not take part in the run, or nullptr when it may. A file
// that can't be examined is refused: taking it for another would risk the image.
const char *refusal(int fd, FILE *other_side)
{
    struct stat opened;
    if (fstat(fd, &opened) != 0)
        return std::strerror(errno);
    if (S_ISDIR(opened.st_mode))
        return std::strerror(EISDIR);
    if (!other_side)
        return nullptr;
    struct stat other;
    if (fstat(fileno(other_side), &other) != 0)
        return std::strerror(errno);
    if (other.st_dev == opened.st_dev && other.st_ino == opened.st_ino)
        return "The tape image and the output are the same file.";
    return nullptr;
}

FILE *open_run_file(const char *name, int flags, const char *mode, FILE *other_side)
{
    const int fd = open(name, flags, 0666);
    if (fd < 0)
        fail_opening(name, std::strerror(errno));
    if (const char *reason = refusal(fd, other_side)) {
        close(fd);
        fail_opening(name, reason);
    }
    FILE *stream = fdopen(fd, mode);
    if (!stream)
        fail_opening(name, std::strerror(errno));
    return stream;
}

} // namespace

FILE *open_image(const char *name, FILE *output)
{
    return open_run_file(name, O_RDONLY, "rb", output);
}

FILE *open_output(const char *name, FILE *image)
{
    return open_run_file(name, O_WRONLY | O_CREAT, "wb", image);
}

// Only a regular file with contents is truncated: a device has nothing to empty, and some
// file systems flush a truncated file to disk when it is closed, which costs a new file a
// tenth of its run.
void start_output(FILE *output, const char *name)
{
    struct stat opened;
    const int fd = fileno(output);
    if (fstat(fd, &opened) != 0)
        fail_opening(name, std::strerror(errno));
    if (S_ISREG(opened.st_mode) && opened.st_size > 0 && ftruncate(fd, 0) != 0)
        fail_opening(name, std::strerror(errno));
}
