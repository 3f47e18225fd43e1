// Helpers for the codec manager tests: pulling "fmt " and "data" out of a WAV
// file, running whole buffers through a stream, writing a WAV around a record.
#pragma once

#include "acm/acm.h"
#include "test_support.h"

#include <cstdint>
#include <vector>

namespace acmtest {

struct WavParts {
    std::vector<uint8_t> format;  // the "fmt " chunk body
    std::vector<uint8_t> data;    // the "data" chunk body
};

// A minimal RIFF walk; empty parts when the file is not a WAVE file.
WavParts readWav(const qoro::test::fs::path& file);
void writeWav(const qoro::test::fs::path& file, const std::vector<uint8_t>& format, const std::vector<uint8_t>& data);

std::vector<uint8_t> toBytes(const std::vector<int16_t>& samples);
std::vector<int16_t> toSamples(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> recordBytes(const acm::WAVEFORMATEX& w, const std::vector<uint8_t>& extra = {});

// Converts everything through an open stream in pieces of about 'chunk' source
// bytes, finishing with an end call. Fails the test on a bad status.
std::vector<uint8_t> convertAll(acm::Stream& s, const std::vector<uint8_t>& in, size_t chunk, bool end);

// Decodes a record's data to 16-bit PCM through the suggested form.
std::vector<int16_t> decode(const std::vector<uint8_t>& format, const std::vector<uint8_t>& data);
// Encodes 16-bit PCM (the suggested form of 'format') into 'format'.
std::vector<uint8_t> encode(const std::vector<uint8_t>& format, const std::vector<int16_t>& pcm);

}  // namespace acmtest
