#include "tape/tape_signal.h"

#include <array>
#include <cerrno>

namespace {

// A failed read must never pass for the end of the image, whatever errno says.
int read_error(FILE *input)
{
    return std::ferror(input) ? (errno != 0 ? errno : EIO) : 0;
}

} // namespace

// The image is a bare byte sequence, streamed so that its size is never limited by memory.
int process_zkt(FILE *input, FILE *output, image_summary &summary)
{
    int byte;
    while ((byte = std::fgetc(input)) != EOF) {
        ++summary.bytes;
        summary.bit7_bytes += static_cast<unsigned>(byte) >> 7;
        output_wav_byte(output, static_cast<std::uint8_t>(byte));
    }
    const int error = read_error(input);
    std::fclose(input);
    return error;
}

int count_zkt(FILE *input, FILE *copy, std::uint64_t cap, std::uint64_t &samples)
{
    std::array<std::uint32_t, 256> samples_of{};
    for (std::size_t byte = 0; byte < samples_of.size(); ++byte)
        samples_of[byte] = byte_samples(static_cast<std::uint8_t>(byte));
    int byte;
    while (samples <= cap && (byte = std::fgetc(input)) != EOF) {
        samples += samples_of[static_cast<std::size_t>(byte)];
        if (copy && std::fputc(byte, copy) == EOF)
            return errno;
    }
    return read_error(input);
}
