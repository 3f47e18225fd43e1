// One direction of the conversion between a file's PCM form and the array
// format, through whichever converter the two formats need: the 16-bit one
// the array format has always had (8- and 16-bit files, mono or stereo, a
// 16-bit array of one or two channels), or the deep one (any depth, up to 8
// channels, any array sample kind). The engine talks to it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "containers/track.h"
#include "convert/pcm_converter.h"
#include "convert/sample_converter.h"

namespace qoro::audiofile {

class ArrayConversion {
public:
    // Designs the conversion between `file` and the array (`array` its
    // record, `kind` its samples). `quality` takes every rate change of the
    // 16-bit converter through libsoxr (the deep one always resamples so).
    // Whatever the rates, 8- and 16-bit mono and stereo stay with the 16-bit
    // converter, as they always have (it passes samples of one format
    // through as they are, at any rate a file states).
    void design(const WAVEFORMATEX& file, const ArrayFormat& array, bool quality, const ConversionOptions& options) {
        const WAVEFORMATEX record = array.record();
        deep_ = array.kind != SampleKind::Int16 || !plainPcm(file) || !plainPcm(record);
        if (deep_)
            valid_ = sample_.setFormats(file, array, options);
        else
            valid_ = pcm_.setFormats(file, record, quality);
    }

    // False when the formats cannot be converted: nothing may pass (the
    // 16-bit converter's formats are checked where they are made).
    bool usable() const { return !deep_ || valid_; }
    // Whether the bytes change on the way (else they pass as they are).
    bool converts() const { return deep_ ? valid_ : pcm_.converts(); }
    bool lags() const { return deep_ ? sample_.lags() : pcm_.lags(); }

    size_t arrayBytesFor(size_t fileBytes) const {
        return deep_ ? sample_.arrayBytesFor(fileBytes) : pcm_.arrayBytesFor(fileBytes);
    }
    size_t fileBytesFor(size_t arrayBytes) const {
        return deep_ ? sample_.fileBytesFor(arrayBytes) : pcm_.fileBytesFor(arrayBytes);
    }
    size_t toArray(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity) {
        return deep_ ? sample_.toArray(src, bytes, dst, capacity) : pcm_.toArray(src, bytes, dst, capacity);
    }
    size_t toFile(const uint8_t* src, size_t bytes, uint8_t* dst, size_t capacity) {
        return deep_ ? sample_.toFile(src, bytes, dst, capacity) : pcm_.toFile(src, bytes, dst, capacity);
    }
    size_t drainToArray(std::vector<uint8_t>& out) {
        return deep_ ? sample_.drainToArray(out) : pcm_.drainToArray(out);
    }
    size_t drainToFile(std::vector<uint8_t>& out) { return deep_ ? sample_.drainToFile(out) : pcm_.drainToFile(out); }
    // The stream goes on at file frame `frame` (after a seek).
    void continueAt(uint64_t frame) {
        if (deep_)
            sample_.continueAt(frame);
        else
            pcm_.continueReadingAt(frame);
    }
    // Samples the deep converter had to clip.
    uint64_t clipped() const { return deep_ ? sample_.clipped() : 0; }

private:
    static bool plainPcm(const WAVEFORMATEX& w) {
        return w.wFormatTag == acm::WAVE_FORMAT_PCM && (w.nChannels == 1 || w.nChannels == 2) &&
               (w.wBitsPerSample == 8 || w.wBitsPerSample == 16);
    }

    bool deep_ = false;
    bool valid_ = false;
    PcmConverter pcm_;
    SampleConverter sample_;
};

}  // namespace qoro::audiofile
