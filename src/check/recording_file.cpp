#include "check/recording_file.h"

#include "check/check_session.h"

#include "exit_status.h"
#include "run_files.h"

#include <sndfile.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A copy of standard input stops here, so that an endless stream ends in a message.
constexpr std::uint64_t largest_copy = std::uint64_t{16} << 30;

constexpr std::size_t signature_size = 16;
using signature = std::array<unsigned char, signature_size>;

bool starts_with(const signature &head, std::size_t at, const char *text)
{
    return std::memcmp(head.data() + at, text, std::strlen(text)) == 0;
}

// WAVE in its 32-bit (RIFF, RIFX) and 64-bit (RF64, Wave64) forms, FLAC, AIFF and Ogg.
bool is_promised_format(const signature &head)
{
    static const unsigned char wave64[signature_size] = {
        'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    const bool riff = starts_with(head, 0, "RIFF") || starts_with(head, 0, "RIFX") ||
                      starts_with(head, 0, "RF64");
    return (riff && starts_with(head, 8, "WAVE")) ||
           std::memcmp(head.data(), wave64, signature_size) == 0 || starts_with(head, 0, "fLaC") ||
           (starts_with(head, 0, "FORM") &&
            (starts_with(head, 8, "AIFF") || starts_with(head, 8, "AIFC"))) ||
           starts_with(head, 0, "OggS");
}

bool is_promised_container(int format)
{
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
    case SF_FORMAT_W64:
    case SF_FORMAT_FLAC:
    case SF_FORMAT_AIFF:
    case SF_FORMAT_OGG:
        return true;
    default:
        return false;
    }
}

// Codecs that throw away part of the signal to save space.
bool is_lossy(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_IMA_ADPCM:
    case SF_FORMAT_MS_ADPCM:
    case SF_FORMAT_GSM610:
    case SF_FORMAT_VOX_ADPCM:
    case SF_FORMAT_NMS_ADPCM_16:
    case SF_FORMAT_NMS_ADPCM_24:
    case SF_FORMAT_NMS_ADPCM_32:
    case SF_FORMAT_G721_32:
    case SF_FORMAT_G723_24:
    case SF_FORMAT_G723_40:
    case SF_FORMAT_DWVW_12:
    case SF_FORMAT_DWVW_16:
    case SF_FORMAT_DWVW_24:
    case SF_FORMAT_DWVW_N:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        return true;
    default:
        return false;
    }
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

std::string format_name(int format)
{
    SF_FORMAT_INFO major{format & SF_FORMAT_TYPEMASK, nullptr, nullptr};
    SF_FORMAT_INFO subtype{format & SF_FORMAT_SUBMASK, nullptr, nullptr};
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major);
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &subtype, sizeof subtype);
    return std::string(subtype.name ? subtype.name : "?") + ", " + (major.name ? major.name : "?");
}

[[noreturn]] void refuse_format(const char *name)
{
    fail_opening(name, "It is not a WAVE, FLAC, AIFF or Ogg recording.");
}

// The recording from a pipe, whole, in an unnamed temporary file: FLAC and others seek. Its
// first bytes are looked at before anything is copied.
FILE *copy_aside(FILE *stream, const char *name)
{
    signature head{};
    const std::size_t first = std::fread(head.data(), 1, head.size(), stream);
    if (std::ferror(stream))
        fail_reading(name, std::strerror(errno));
    if (!is_promised_format(head))
        refuse_format(name);
    FILE *copy = temporary_copy(name);
    if (std::fwrite(head.data(), 1, first, copy) != first)
        fail_reading(name, std::strerror(errno));
    char block[1 << 16];
    std::uint64_t copied = first;
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, stream)) > 0;) {
        copied += got;
        if (copied > largest_copy)
            fail_reading(name, ("The recording is longer than " +
                                std::to_string(largest_copy >> 30) + " GiB.")
                                   .c_str());
        if (std::fwrite(block, 1, got, copy) != got)
            fail_reading(name, std::strerror(errno));
    }
    if (std::ferror(stream) || std::fflush(copy) != 0 || std::fseek(copy, 0, SEEK_SET) != 0)
        fail_reading(name, std::strerror(errno));
    return copy;
}

// Reads the first bytes where the recording stands, leaving it there for libsndfile.
signature first_bytes(int fd, const char *name)
{
    signature head{};
    const off_t at = lseek(fd, 0, SEEK_CUR);
    const ssize_t got = at < 0 ? -1 : pread(fd, head.data(), head.size(), at);
    if (got < 0)
        fail_reading(name, std::strerror(errno));
    return head;
}

void check_format(const SF_INFO &info, const char *name)
{
    if (!is_promised_container(info.format))
        refuse_format(name);
    const std::string refusal = layout_refusal(info.samplerate, info.channels);
    if (!refusal.empty())
        fail_opening(name, refusal.c_str());
}

} // namespace

recording_file open_recording(const char *name)
{
    recording_file recording;
    recording.stream = open_image(name, nullptr);
    return recording;
}

void start_reading(recording_file &r, const char *name)
{
    FILE *source = r.stream;
    if (!is_regular(source))
        source = r.copy = copy_aside(r.stream, name);
    else if (!is_promised_format(first_bytes(fileno(source), name)))
        refuse_format(name);
    SF_INFO info{};
    r.sound = sf_open_fd(fileno(source), SFM_READ, &info, 0);
    if (!r.sound)
        fail_opening(name, sf_strerror(nullptr));
    check_format(info, name);
    r.format = {info.samplerate, info.channels, format_name(info.format), is_lossy(info.format),
                clip_level_of(info.format)};
}

std::size_t read_frames(recording_file &r, const char *name, float *interleaved, std::size_t frames)
{
    const sf_count_t got = sf_readf_float(r.sound, interleaved, static_cast<sf_count_t>(frames));
    if (got <= 0 && sf_error(r.sound) != SF_ERR_NO_ERROR)
        fail_reading(name, sf_strerror(r.sound));
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

void close_recording(recording_file &r)
{
    if (r.sound)
        sf_close(r.sound);
    if (r.copy)
        std::fclose(r.copy);
    std::fclose(r.stream);
    r = recording_file{};
}
