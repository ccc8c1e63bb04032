#include "tape/tape_signal.h"

#include <cerrno>

// The image is a bare byte sequence, streamed so that its size is never limited by memory.
int process_zkt(FILE *input, FILE *output)
{
    int byte;
    while ((byte = std::fgetc(input)) != EOF)
        output_wav_byte(output, static_cast<std::uint8_t>(byte));
    // A failed read must never pass for the end of the image, whatever errno says.
    const int read_error = std::ferror(input) ? (errno != 0 ? errno : EIO) : 0;
    std::fclose(input);
    return read_error;
}
