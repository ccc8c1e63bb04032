#include "check/check_report.h"
#include "check/pulse_decoder.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The conversion's rates, the highest a sound card records, and one that is none of them.
constexpr int rates[] = {8000, 11025, 22050, 44100, 48000, 96000, 192000, 12345};
// Blocks of every size a reader might hand over, down to one sample.
constexpr std::size_t block_sizes[] = {1, 7, 128, 4096, 4097, 65536};

// The input: a byte that picks the rate, a byte that picks the encoding, then the samples,
// unsigned 8-bit as a WAVE file holds them or raw 32-bit floats, NaNs and infinities included.
std::vector<float> samples_of(const std::uint8_t *data, std::size_t size, bool floats)
{
    std::vector<float> samples;
    if (floats) {
        samples.resize(size / sizeof(float));
        if (!samples.empty())
            std::memcpy(samples.data(), data, samples.size() * sizeof(float));
    } else {
        for (std::size_t i = 0; i < size; ++i)
            samples.push_back((data[i] - 128) / 128.0F);
    }
    return samples;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int rate = rates[data[0] % std::size(rates)];
    const std::size_t block = block_sizes[(data[1] >> 1) % std::size(block_sizes)];
    const std::vector<float> samples = samples_of(data + 2, size - 2, data[1] & 1);
    const recording_facts facts{"fuzz\n\xff", "fuzz", rate, 1, 0, (data[1] & 4) != 0, 0};
    pulse_decoder decoder;
    start_decoding(decoder, rate);
    // Every program the recording holds is judged as it ends, as the command line does.
    program_list programs;
    decoder.on_program = [&](const pulse_decoder &d) {
        programs.found.push_back(summarise(facts, d));
    };
    for (std::size_t done = 0; done < samples.size(); done += block)
        decode_samples(decoder, samples.data() + done, std::min(block, samples.size() - done));
    finish_decoding(decoder);
    // Every time the report gives must be a time, whatever the samples were.
    for (double at : {decoder.lead_in_start, decoder.tone_period, decoder.speed, decoder.last_pulse,
                      decoder.worst_cell_start, decoder.worst_margin})
        if (!std::isfinite(at))
            __builtin_trap();

    // The image compared is the input itself: it agrees with nothing, or with everything.
    comparison c;
    c.possible_losses = possible_losses(decoder);
    if (compare_image_bytes(c, data, std::min<std::size_t>(size, 64), decoder.bytes))
        finish_comparison(c, decoder.bytes);
    const judgement j = judge(facts, decoder, c);
    static FILE *nowhere = std::fopen("/dev/null", "w");
    write_text_report(nowhere, facts, decoder, c, j, programs);
    write_json_report(nowhere, facts, decoder, c, j, programs);
    return 0;
}
