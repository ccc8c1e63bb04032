#include "audio/wave_file.h"

#include <cstring>

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

namespace {

constexpr long rLen_offset = 4;
constexpr long data_size_offset = 40;

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

void patch_le32(FILE *wavfile, long offset, std::uint32_t value)
{
    unsigned char bytes[4];
    put_le32(bytes, value);
    std::fseek(wavfile, offset, SEEK_SET);
    std::fwrite(bytes, sizeof bytes, 1, wavfile);
}

} // namespace

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
    const auto bytes = wav_header_bytes(wave);
    std::fwrite(bytes.data(), bytes.size(), 1, wavfile);
}

void write_pending_samples(FILE *wavfile)
{
    std::fwrite(pending_samples.bytes, 1, pending_samples.used, wavfile);
    pending_samples.used = 0;
}

// No pad byte follows an odd number of samples: the data chunk is the file's last.
void close_wav(FILE *wavfile)
{
    write_pending_samples(wavfile);
    const long length = std::ftell(wavfile);
    patch_le32(wavfile, rLen_offset, static_cast<std::uint32_t>(length - 8));
    patch_le32(wavfile, data_size_offset, static_cast<std::uint32_t>(length - wav_header_size));
    std::fclose(wavfile);
}
