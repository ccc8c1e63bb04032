#include "tape/tape_signal.h"

// The image is a bare byte sequence, streamed so that its size is never limited by memory.
void process_zkt(FILE *input, FILE *output)
{
    for (int byte; (byte = std::fgetc(input)) != EOF;)
        output_wav_byte(output, static_cast<std::uint8_t>(byte));
    std::fclose(input);
}
