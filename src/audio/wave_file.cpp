#include "audio/wave_file.h"

#include "exit_status.h"

#include <cerrno>
#include <cstring>
#include <sys/types.h>

wav_header wave = {
    {'R', 'I', 'F', 'F'},
    0,
    {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '},
    16, // length of the format chunk that follows
    1,  // PCM
    1,  // mono
    44100,
    44100,
    1, // bytes per sample frame
    8, // 8-bit samples are unsigned, 128 being the centre line
    {'d', 'a', 't', 'a'},
    0,
};

sample_block pending_samples;
const char *wav_name = "";
std::uint64_t wav_bytes_written = 0;
bool wav_inverted = false;
std::uint64_t wav_promised_length = 0;

namespace {

constexpr off_t rLen_offset = 4;
constexpr off_t data_size_offset = 40;
constexpr std::uint64_t riff_length_excludes = 8;

[[noreturn]] void fail_writing(const char *reason)
{
    fail(exit_io_failed, "Error writing %s.\n%s\n", wav_name, reason);
}

// A promised length is the image's as it was counted; any other means that it changed
// before its second reading.
[[noreturn]] void fail_image_changed()
{
    fail_writing("The tape image changed while it was read.");
}

void write_or_fail(const void *bytes, std::size_t count, FILE *wavfile)
{
    if (std::fwrite(bytes, 1, count, wavfile) != count)
        fail_writing(std::strerror(errno));
}

void append_or_fail(const void *bytes, std::size_t count, FILE *wavfile)
{
    write_or_fail(bytes, count, wavfile);
    wav_bytes_written += count;
}

void put_le16(unsigned char *at, std::uint16_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void put_le32(unsigned char *at, std::uint32_t value)
{
    put_le16(at, static_cast<std::uint16_t>(value));
    put_le16(at + 2, static_cast<std::uint16_t>(value >> 16));
}

void patch_le32(FILE *wavfile, off_t offset, std::uint32_t value)
{
    unsigned char bytes[4];
    put_le32(bytes, value);
    if (fseeko(wavfile, offset, SEEK_SET) != 0)
        fail_writing(std::strerror(errno));
    write_or_fail(bytes, sizeof bytes, wavfile);
}

} // namespace

bool fits_wave_lengths(std::uint64_t file_length)
{
    return file_length <= largest_wave_file;
}

void promise_wav_length(std::uint64_t file_length)
{
    if (!fits_wave_lengths(file_length))
        fail_writing("The output is too large for a WAVE file.");
    wav_promised_length = file_length;
}

void set_sample_rate(std::uint32_t rate)
{
    wave.nSamplesPerSec = rate;
    wave.nAvgBytesPerSec = wave.nChannels * rate * (wave.nBitsPerSample / 8u);
}

std::array<unsigned char, wav_header_size> wav_header_bytes(const wav_header &header)
{
    std::array<unsigned char, wav_header_size> bytes{};
    unsigned char *at = bytes.data();
    std::memcpy(at + 0, header.riff, 4);
    put_le32(at + 4, header.rLen);
    std::memcpy(at + 8, header.WAVEfmt, 8);
    put_le32(at + 16, header.fLen);
    put_le16(at + 20, header.wFormatTag);
    put_le16(at + 22, header.nChannels);
    put_le32(at + 24, header.nSamplesPerSec);
    put_le32(at + 28, header.nAvgBytesPerSec);
    put_le16(at + 32, header.nBlockAlign);
    put_le16(at + 34, header.nBitsPerSample);
    std::memcpy(at + 36, header.datastr, 4);
    put_le32(at + 40, header.data_size);
    return bytes;
}

void write_wav_header(FILE *wavfile)
{
    wav_header header = wave;
    if (wav_promised_length) {
        header.rLen = static_cast<std::uint32_t>(wav_promised_length - riff_length_excludes);
        header.data_size = static_cast<std::uint32_t>(wav_promised_length - wav_header_size);
    }
    const auto bytes = wav_header_bytes(header);
    append_or_fail(bytes.data(), bytes.size(), wavfile);
}

// 128 stays 128, 1 and 255 swap. Nothing goes past a promised length, lest the samples
// that arrived outrun the header that announced them.
void write_pending_samples(FILE *wavfile)
{
    const std::uint64_t length = wav_bytes_written + pending_samples.used;
    if (wav_promised_length && length > wav_promised_length)
        fail_image_changed();
    if (!fits_wave_lengths(length))
        fail_writing("The output is too large for a WAVE file.");
    if (wav_inverted)
        for (std::size_t i = 0; i < pending_samples.used; ++i)
            pending_samples.bytes[i] = static_cast<unsigned char>(256 - pending_samples.bytes[i]);
    append_or_fail(pending_samples.bytes, pending_samples.used, wavfile);
    pending_samples.used = 0;
}

// No pad byte follows an odd number of samples: the data chunk is the file's last. A file
// whose length was promised is never seeked: it may be a pipe.
void close_wav(FILE *wavfile)
{
    write_pending_samples(wavfile);
    const std::uint64_t length = wav_bytes_written;
    if (wav_promised_length && length != wav_promised_length)
        fail_image_changed();
    if (!wav_promised_length) {
        patch_le32(wavfile, rLen_offset, static_cast<std::uint32_t>(length - riff_length_excludes));
        patch_le32(wavfile, data_size_offset, static_cast<std::uint32_t>(length - wav_header_size));
    }
    if (std::fclose(wavfile) != 0)
        fail_writing(std::strerror(errno));
}
