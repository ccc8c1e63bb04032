#include "check/recovered_image.h"

#include "exit_status.h"
#include "run_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Named temporary files, should the run end before they are put in place: the exit removes
// them.
std::vector<std::string> &named_temporaries()
{
    static std::vector<std::string> paths;
    return paths;
}

void remove_named_temporaries()
{
    for (const std::string &path : named_temporaries())
        unlink(path.c_str());
    named_temporaries().clear();
}

void remove_named_temporary(const recovered_image &target)
{
    if (target.unnamed || target.pending.empty())
        return;
    unlink(target.pending.c_str());
    auto &paths = named_temporaries();
    paths.erase(std::remove(paths.begin(), paths.end(), target.pending), paths.end());
}

bool same_file(const struct stat &file, FILE *other)
{
    struct stat opened;
    return other && fstat(fileno(other), &opened) == 0 && opened.st_dev == file.st_dev &&
           opened.st_ino == file.st_ino;
}

std::string folder_of(const char *name)
{
    const char *slash = std::strrchr(name, '/');
    if (!slash)
        return ".";
    return slash == name ? "/" : std::string(name, slash);
}

[[noreturn]] void fail_writing(const char *name)
{
    fail(exit_io_failed, "Error writing %s.\n%s\n", name, std::strerror(errno));
}

// An unnamed file in the folder the image goes to, so that linking it in is all that is
// left at the end; where the file system has none, a named one that the run removes if it
// ends first.
FILE *open_unnamed(recovered_image &target)
{
    const std::string folder = folder_of(target.name);
    int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY, 0666);
    target.unnamed = fd >= 0;
    if (target.unnamed) {
        target.pending = "/proc/self/fd/" + std::to_string(fd);
    } else {
        std::string path = folder + "/.zkt2wav-XXXXXX";
        fd = mkstemp(path.data());
        if (fd < 0)
            fail_opening(target.name, std::strerror(errno));
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        target.pending = path;
        static const bool removed_at_exit = std::atexit(remove_named_temporaries) == 0;
        (void)removed_at_exit;
        named_temporaries().push_back(path);
    }
    FILE *stream = fdopen(fd, "wb");
    if (!stream)
        fail_opening(target.name, std::strerror(errno));
    return stream;
}

// Links the complete file under its name, which must still be free: a file that appeared
// there meanwhile is kept.
void put_in_place(const recovered_image &target)
{
    const int linked = target.unnamed ? linkat(AT_FDCWD, target.pending.c_str(), AT_FDCWD,
                                               target.name, AT_SYMLINK_FOLLOW)
                                      : link(target.pending.c_str(), target.name);
    if (linked != 0)
        fail_writing(target.name);
    remove_named_temporary(target);
}

} // namespace

recovered_image prepare_recovered(const char *name, FILE *recording, FILE *image)
{
    recovered_image target;
    target.name = name;
    if (std::strcmp(name, "-") == 0) {
        target.standard_output = true;
        target.stream = open_output(name, nullptr);
        return target;
    }
    // A link counts as the name it leads to; one that leads nowhere is a name that exists.
    struct stat named, existing;
    if (lstat(name, &named) == 0) {
        if (stat(name, &existing) != 0)
            existing = named;
        if (same_file(existing, recording))
            fail_opening(name, "The recording and the output are the same file.");
        if (same_file(existing, image))
            fail_opening(name, "The tape image and the output are the same file.");
        if (S_ISREG(existing.st_mode) || S_ISDIR(existing.st_mode) || S_ISLNK(existing.st_mode))
            fail_opening(name, "It exists, and a check never replaces a file: name a new one.");
        target.in_place = true;
        target.stream = open_output(name, nullptr);
        return target;
    }
    if (errno != ENOENT)
        fail_opening(name, std::strerror(errno));
    target.stream = open_unnamed(target);
    return target;
}

void write_recovered(recovered_image &target, const std::vector<std::uint8_t> &bytes)
{
    const bool complete =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), target.stream) == bytes.size();
    if (!complete || std::fflush(target.stream) != 0)
        fail_writing(target.name);
}

void keep_recovered(recovered_image &target)
{
    if (!target.stream)
        return;
    if (!target.standard_output && !target.in_place)
        put_in_place(target);
    if (std::fclose(target.stream) != 0)
        fail_writing(target.name);
    target.stream = nullptr;
}

void discard_recovered(recovered_image &target)
{
    if (target.stream)
        std::fclose(target.stream);
    target.stream = nullptr;
    remove_named_temporary(target);
}
