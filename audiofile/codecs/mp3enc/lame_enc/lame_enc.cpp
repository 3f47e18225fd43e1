// lame_enc.so: the classic encoder-library entry points over libmp3lame.
//
// Streams live in a small table keyed by 32-bit handles; each stream owns one
// LAME encoder. The tag frame of a finished stream is kept aside until
// beWriteVBRHeader puts it into the file, because by then the stream itself is
// already closed.
#include "lame_enc.h"
#include "tags/id3v2.h"

#include <lame/lame.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr uint8_t kLibraryMajor = 1;
constexpr uint8_t kLibraryMinor = 0;
constexpr uint8_t kReleaseDay = 8;
constexpr uint8_t kReleaseMonth = 12;
constexpr uint16_t kReleaseYear = 2026;

constexpr size_t kMaxStreams = 256;     // live streams at once
constexpr size_t kMaxPendingTags = 64;  // finished streams whose tag was not yet written

constexpr std::array<uint32_t, 9> kMpegRates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
// Layer III bitrates (kbit/s), free format excluded.
constexpr std::array<uint32_t, 14> kMpeg1Bitrates = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr std::array<uint32_t, 14> kMpeg2Bitrates = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

template <size_t N>
bool contains(const std::array<uint32_t, N>& table, uint32_t value) {
    return std::find(table.begin(), table.end(), value) != table.end();
}

// LAME reports through printf-style callbacks; a library must stay quiet.
void silent(const char*, va_list) {}

// lame_init and lame_init_params touch tables shared by all encoders.
std::mutex& lameInitMutex() {
    static std::mutex m;
    return m;
}

struct LameClose {
    void operator()(lame_global_flags* gf) const { lame_close(gf); }
};
using LamePtr = std::unique_ptr<lame_global_flags, LameClose>;

struct Stream {
    std::mutex mutex;
    LamePtr lame;
    int channels = 2;
    uint32_t chunkSamples = 0;  // 16-bit values per call, all channels
    uint32_t outputSize = 0;    // bytes of output room the caller provides
    bool writeTag = false;
    bool finished = false;
    uint64_t bytesOut = 0;  // everything handed back so far
};

class StreamTable {
public:
    BE_ERR add(std::shared_ptr<Stream> stream, HBE_STREAM& handle) {
        std::lock_guard lock(mutex_);
        if (streams_.size() >= kMaxStreams) return BE_ERR_NO_MORE_HANDLES;
        do {
            handle = next_++;
        } while (handle == 0 || streams_.count(handle));
        streams_.emplace(handle, std::move(stream));
        return BE_ERR_SUCCESSFUL;
    }
    std::shared_ptr<Stream> find(HBE_STREAM handle) {
        std::lock_guard lock(mutex_);
        auto it = streams_.find(handle);
        return it == streams_.end() ? nullptr : it->second;
    }
    bool remove(HBE_STREAM handle) {
        std::shared_ptr<Stream> doomed;  // freed after the lock is released
        std::lock_guard lock(mutex_);
        auto it = streams_.find(handle);
        if (it == streams_.end()) return false;
        doomed = std::move(it->second);
        streams_.erase(it);
        return true;
    }

private:
    std::mutex mutex_;
    std::map<HBE_STREAM, std::shared_ptr<Stream>> streams_;
    HBE_STREAM next_ = 1;
};

StreamTable& streams() {
    static StreamTable table;
    return table;
}

// The tag frame of a finished stream and what the file must look like to take it.
struct PendingTag {
    std::thread::id thread;
    std::vector<uint8_t> frame;
    uint64_t streamBytes = 0;
};

class PendingTags {
public:
    void put(PendingTag tag) {
        std::lock_guard lock(mutex_);
        // A thread finishes its streams one after another: only the last counts.
        std::erase_if(tags_, [&](const PendingTag& t) { return t.thread == tag.thread; });
        if (tags_.size() >= kMaxPendingTags) tags_.erase(tags_.begin());
        tags_.push_back(std::move(tag));
    }
    // This thread's tag first, then the others, newest first.
    std::vector<PendingTag> candidates() {
        std::lock_guard lock(mutex_);
        std::vector<PendingTag> result;
        auto self = std::this_thread::get_id();
        for (const auto& t : tags_)
            if (t.thread == self) result.push_back(t);
        for (auto it = tags_.rbegin(); it != tags_.rend(); ++it)
            if (it->thread != self) result.push_back(*it);
        return result;
    }
    void consume(const PendingTag& used) {
        std::lock_guard lock(mutex_);
        std::erase_if(tags_, [&](const PendingTag& t) {
            return t.thread == used.thread && t.streamBytes == used.streamBytes && t.frame == used.frame;
        });
    }

private:
    std::mutex mutex_;
    std::vector<PendingTag> tags_;
};

PendingTags& pendingTags() {
    static PendingTags tags;
    return tags;
}

// Checks the record and sets the encoder up from it. Every field counts;
// values the encoder cannot honour are refused rather than bent.
BE_ERR configure(const BE_CONFIG& c, lame_global_flags* gf, int& channels) {
    if (!contains(kMpegRates, c.dwSampleRate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (c.dwReSampleRate != 0 && !contains(kMpegRates, c.dwReSampleRate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const uint32_t outRate = c.dwReSampleRate ? c.dwReSampleRate : c.dwSampleRate;
    const bool mpeg1 = outRate >= 32000;
    if (c.dwMpegVersion != (mpeg1 ? BE_MPEG1 : BE_MPEG2)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (c.nMode < BE_MP3_MODE_STEREO || c.nMode > BE_MP3_MODE_FORCED_MS) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (c.dwEmphasis != 0 && c.dwEmphasis != 1 && c.dwEmphasis != 3) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (c.nQuality < 0 || c.nQuality > 9) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (c.nAthMode < BE_ATH_DEFAULT || c.nAthMode > BE_ATH_SHORT) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (c.nLowpassFreq < -1 || c.nHighpassFreq < -1 || c.nLowpassWidth < 0 || c.nHighpassWidth < 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    const bool vbr = c.bEnableVBR != 0;
    if (vbr) {
        if (c.nVbrMethod < BE_VBR_METHOD_NONE || c.nVbrMethod > BE_VBR_METHOD_ABR)
            return BE_ERR_INVALID_FORMAT_PARAMETERS;
        if (c.nVBRQuality < 0 || c.nVBRQuality > 9) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        if (c.nVbrMethod == BE_VBR_METHOD_ABR && c.dwVbrAbr == 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    } else if (!(mpeg1 ? contains(kMpeg1Bitrates, c.dwBitrate) : contains(kMpeg2Bitrates, c.dwBitrate))) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }

    lame_set_errorf(gf, silent);
    lame_set_debugf(gf, silent);
    lame_set_msgf(gf, silent);
    lame_set_write_id3tag_automatic(gf, 0);  // the file holds nothing but audio frames

    // A preset first, so that the record's own values refine it.
    switch (c.nPreset) {
    case BE_PRESET_R3MIX: lame_set_preset(gf, R3MIX); break;
    case BE_PRESET_STANDARD: lame_set_preset(gf, STANDARD); break;
    case BE_PRESET_EXTREME: lame_set_preset(gf, EXTREME); break;
    case BE_PRESET_INSANE: lame_set_preset(gf, INSANE); break;
    default: break;  // no preset, or one this library does not know
    }

    channels = c.nMode == BE_MP3_MODE_MONO ? 1 : 2;
    lame_set_in_samplerate(gf, static_cast<int>(c.dwSampleRate));
    lame_set_out_samplerate(gf, static_cast<int>(outRate));
    lame_set_num_channels(gf, channels);
    switch (c.nMode) {
    case BE_MP3_MODE_STEREO: lame_set_mode(gf, STEREO); break;
    case BE_MP3_MODE_JSTEREO: lame_set_mode(gf, JOINT_STEREO); break;
    case BE_MP3_MODE_DUALCHANNEL: lame_set_mode(gf, DUAL_CHANNEL); break;
    case BE_MP3_MODE_MONO: lame_set_mode(gf, MONO); break;
    case BE_MP3_MODE_FORCED_MS:
        lame_set_mode(gf, JOINT_STEREO);
        lame_set_force_ms(gf, 1);
        break;
    }

    lame_set_emphasis(gf, static_cast<int>(c.dwEmphasis));
    lame_set_error_protection(gf, c.bCRC ? 1 : 0);
    lame_set_bWriteVbrTag(gf, c.bWriteVBRHeader ? 1 : 0);
    lame_set_quality(gf, c.nQuality);

    if (vbr) {
        switch (c.nVbrMethod) {
        case BE_VBR_METHOD_OLD: lame_set_VBR(gf, vbr_rh); break;
        case BE_VBR_METHOD_NEW:
        case BE_VBR_METHOD_MTRH: lame_set_VBR(gf, vbr_mtrh); break;
        case BE_VBR_METHOD_ABR: lame_set_VBR(gf, vbr_abr); break;
        default: lame_set_VBR(gf, vbr_default); break;
        }
        lame_set_VBR_q(gf, c.nVBRQuality);
        if (c.dwBitrate) lame_set_VBR_min_bitrate_kbps(gf, static_cast<int>(std::min<uint32_t>(c.dwBitrate, 320)));
        if (c.dwMaxBitrate)
            lame_set_VBR_max_bitrate_kbps(gf, static_cast<int>(std::min<uint32_t>(c.dwMaxBitrate, 320)));
        if (c.nVbrMethod == BE_VBR_METHOD_ABR) {
            uint32_t mean = c.dwVbrAbr >= 1000 ? c.dwVbrAbr / 1000 : c.dwVbrAbr;  // bit/s given
            lame_set_VBR_mean_bitrate_kbps(gf, static_cast<int>(std::clamp<uint32_t>(mean, 8, 320)));
        }
        lame_set_VBR_hard_min(gf, c.bEnforceMinBitrate ? 1 : 0);
    } else {
        lame_set_VBR(gf, vbr_off);
        lame_set_brate(gf, static_cast<int>(c.dwBitrate));
    }

    if (c.bNoRes) lame_set_disable_reservoir(gf, 1);
    if (c.bBlockTypeControl) lame_set_allow_diff_short(gf, 1);
    if (c.bNoShortBlocks) lame_set_no_short_blocks(gf, 1);
    if (c.bStrictIso) lame_set_strict_ISO(gf, 1);

    if (c.nLowpassFreq != 0) lame_set_lowpassfreq(gf, c.nLowpassFreq);
    if (c.nHighpassFreq != 0) lame_set_highpassfreq(gf, c.nHighpassFreq);
    if (c.nLowpassWidth > 0) lame_set_lowpasswidth(gf, c.nLowpassWidth);
    if (c.nHighpassWidth > 0) lame_set_highpasswidth(gf, c.nHighpassWidth);

    switch (c.nAthMode) {
    case BE_ATH_ONLY: lame_set_ATHonly(gf, 1); break;
    case BE_ATH_NONE: lame_set_noATH(gf, 1); break;
    case BE_ATH_SHORT: lame_set_ATHshort(gf, 1); break;
    default: break;
    }
    return BE_ERR_SUCCESSFUL;
}

BE_ERR lameError(int code) { return code == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS; }

// --- writing the tag frame into a finished file ---------------------------

class File {
public:
    explicit File(const char* path) : fd_(::open(path, O_RDWR | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

private:
    int fd_;
};

bool readAt(int fd, uint64_t offset, uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool writeAt(int fd, uint64_t offset, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// Where the audio starts: after the ID3v2 tags the file begins with, if any.
uint64_t audioStart(int fd, uint64_t fileSize) {
    return qoro::tags::id3v2LeadingSize(
        [fd](uint64_t offset, uint8_t* data, size_t size) -> size_t {
            const ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
            return n > 0 ? static_cast<size_t>(n) : 0;
        },
        fileSize);
}

// The stream's first frame as the encoder left it: a frame header like the
// tag frame's, then nothing but zeros (side information, checksum and tag
// are filled in only at the end).
bool isPlaceholder(const std::vector<uint8_t>& current, const std::vector<uint8_t>& tag) {
    if (current.size() != tag.size() || tag.size() < 4) return false;
    // Sync, version, layer, bitrate, rate and channel mode must agree; the
    // protection bit and the mode extension may differ.
    if (current[0] != tag[0] || (current[1] & 0xFE) != (tag[1] & 0xFE) || (current[2] & 0xFC) != (tag[2] & 0xFC) ||
        (current[3] & 0xC0) != (tag[3] & 0xC0))
        return false;
    return std::all_of(current.begin() + 4, current.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

namespace {

// The checks every encode call makes, then `encode(stream, frames)` under
// the stream's lock; the bytes it produced, or its error.
template <class Encode>
BE_ERR encodeChunkWith(HBE_STREAM hbeStream, uint32_t nSamples, const void* pSamples, const uint8_t* pOutput,
                       uint32_t* pdwOutput, Encode&& encode) {
    if (pdwOutput) *pdwOutput = 0;
    auto stream = streams().find(hbeStream);
    if (!stream) return BE_ERR_INVALID_HANDLE;
    if (!pdwOutput) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    std::lock_guard lock(stream->mutex);
    if (stream->finished) return BE_ERR_INVALID_HANDLE;
    if (nSamples == 0) return BE_ERR_SUCCESSFUL;
    if (!pSamples || !pOutput) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (nSamples > stream->chunkSamples || nSamples % static_cast<uint32_t>(stream->channels) != 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const int produced = encode(*stream, static_cast<int>(nSamples) / stream->channels);
    if (produced < 0) return lameError(produced);
    stream->bytesOut += static_cast<uint64_t>(produced);
    *pdwOutput = static_cast<uint32_t>(produced);
    return BE_ERR_SUCCESSFUL;
}

}  // namespace

extern "C" {

BE_EXPORT BE_ERR beInitStream(const BE_CONFIG* pbeConfig, uint32_t* dwSamples, uint32_t* dwBufferSize,
                              HBE_STREAM* phbeStream) {
    if (!pbeConfig || !dwSamples || !dwBufferSize || !phbeStream) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    try {
        // Read the fixed head first: only then is it known how much the caller handed over.
        uint32_t head[3];
        std::memcpy(head, pbeConfig, sizeof head);
        if (head[0] != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
        if (head[1] < BE_LAME_STRUCT_VERSION || head[2] != BE_LAME_STRUCT_SIZE) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        BE_CONFIG config;
        std::memcpy(&config, pbeConfig, sizeof config);

        auto stream = std::make_shared<Stream>();
        {
            std::lock_guard lock(lameInitMutex());
            stream->lame.reset(lame_init());
        }
        if (!stream->lame) return BE_ERR_NO_MORE_HANDLES;
        lame_global_flags* gf = stream->lame.get();
        if (BE_ERR e = configure(config, gf, stream->channels); e != BE_ERR_SUCCESSFUL) return e;
        {
            std::lock_guard lock(lameInitMutex());
            if (lame_init_params(gf) < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        }

        const int frame = lame_get_framesize(gf);  // 1152 for MPEG-1, 576 below
        stream->chunkSamples = static_cast<uint32_t>(frame * stream->channels);
        // LAME's worst case per call is 1.25 bytes per sample plus 7200, counted
        // after resampling.
        const double ratio = std::max(1.0, double(lame_get_out_samplerate(gf)) / double(lame_get_in_samplerate(gf)));
        stream->outputSize = static_cast<uint32_t>(std::ceil(1.25 * stream->chunkSamples * ratio)) + 7200;
        stream->writeTag = config.bWriteVBRHeader != 0;

        const uint32_t samples = stream->chunkSamples;
        const uint32_t outputSize = stream->outputSize;
        HBE_STREAM handle = 0;
        if (BE_ERR e = streams().add(std::move(stream), handle); e != BE_ERR_SUCCESSFUL) return e;
        *dwSamples = samples;
        *dwBufferSize = outputSize;
        *phbeStream = handle;
        return BE_ERR_SUCCESSFUL;
    } catch (...) {
        return BE_ERR_NO_MORE_HANDLES;  // out of memory
    }
}

BE_EXPORT BE_ERR beEncodeChunk(HBE_STREAM hbeStream, uint32_t nSamples, const int16_t* pSamples, uint8_t* pOutput,
                               uint32_t* pdwOutput) {
    return encodeChunkWith(hbeStream, nSamples, pSamples, pOutput, pdwOutput, [&](Stream& stream, int frames) {
        lame_global_flags* gf = stream.lame.get();
        const int room = static_cast<int>(stream.outputSize);
        // LAME copies the input; it only lacks the const in its prototypes.
        short* pcm = const_cast<short*>(pSamples);
        return stream.channels == 2 ? lame_encode_buffer_interleaved(gf, pcm, frames, pOutput, room)
                                    : lame_encode_buffer(gf, pcm, pcm, frames, pOutput, room);
    });
}

BE_EXPORT BE_ERR beEncodeChunkFloat(HBE_STREAM hbeStream, uint32_t nSamples, const float* pSamples,
                                    uint8_t* pOutput, uint32_t* pdwOutput) {
    return encodeChunkWith(hbeStream, nSamples, pSamples, pOutput, pdwOutput, [&](Stream& stream, int frames) {
        // LAME's float entry takes each channel apart, scaled as 16-bit
        // values are (so 16-bit samples encode exactly as they always have).
        // Its analysis asserts on values that are not numbers: those become
        // silence, and anything far beyond full scale is held at 4 times it.
        auto scaled = [](float v) { return std::isfinite(v) ? std::clamp(v, -4.0f, 4.0f) * 32768.0f : 0.0f; };
        thread_local std::vector<float> left, right;
        left.resize(static_cast<size_t>(frames));
        right.resize(static_cast<size_t>(frames));
        const int ch = stream.channels;
        for (int i = 0; i < frames; ++i) {
            left[static_cast<size_t>(i)] = scaled(pSamples[i * ch]);
            right[static_cast<size_t>(i)] = scaled(pSamples[i * ch + ch - 1]);
        }
        return lame_encode_buffer_float(stream.lame.get(), left.data(), right.data(), frames, pOutput,
                                        static_cast<int>(stream.outputSize));
    });
}

BE_EXPORT BE_ERR beDeinitStream(HBE_STREAM hbeStream, uint8_t* pOutput, uint32_t* pdwOutput) {
    if (pdwOutput) *pdwOutput = 0;
    auto stream = streams().find(hbeStream);
    if (!stream) return BE_ERR_INVALID_HANDLE;
    if (!pdwOutput || !pOutput) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    std::lock_guard lock(stream->mutex);
    if (stream->finished) return BE_ERR_SUCCESSFUL;

    lame_global_flags* gf = stream->lame.get();
    const int produced = lame_encode_flush(gf, pOutput, static_cast<int>(stream->outputSize));
    if (produced < 0) return lameError(produced);
    stream->finished = true;
    stream->bytesOut += static_cast<uint64_t>(produced);
    *pdwOutput = static_cast<uint32_t>(produced);

    if (stream->writeTag) {
        try {
            PendingTag tag;
            tag.thread = std::this_thread::get_id();
            tag.streamBytes = stream->bytesOut;
            size_t size = lame_get_lametag_frame(gf, nullptr, 0);
            if (size > 0) {
                tag.frame.resize(size);
                if (lame_get_lametag_frame(gf, tag.frame.data(), size) == size) pendingTags().put(std::move(tag));
            }
        } catch (...) {
            // Without memory the tag is simply not offered; the audio is complete.
        }
    }
    return BE_ERR_SUCCESSFUL;
}

BE_EXPORT BE_ERR beCloseStream(HBE_STREAM hbeStream) {
    return streams().remove(hbeStream) ? BE_ERR_SUCCESSFUL : BE_ERR_INVALID_HANDLE;
}

BE_EXPORT void beVersion(BE_VERSION* pbeVersion) {
    if (!pbeVersion) return;
    BE_VERSION v;
    std::memset(&v, 0, sizeof v);
    lame_version_t lame{};
    get_lame_version_numerical(&lame);
    v.byDLLMajorVersion = kLibraryMajor;
    v.byDLLMinorVersion = kLibraryMinor;
    v.byMajorVersion = static_cast<uint8_t>(lame.major);
    v.byMinorVersion = static_cast<uint8_t>(lame.minor);
    v.byDay = kReleaseDay;
    v.byMonth = kReleaseMonth;
    v.wYear = kReleaseYear;
    if (const char* url = get_lame_url()) std::strncpy(v.zHomepage, url, sizeof v.zHomepage - 1);
    v.byAlphaLevel = static_cast<uint8_t>(lame.alpha);
    v.byBetaLevel = static_cast<uint8_t>(lame.beta);
    v.byMMXEnabled = 0;
    std::memcpy(pbeVersion, &v, sizeof v);
}

BE_EXPORT BE_ERR beWriteVBRHeader(const char* lpszFileName) {
    if (!lpszFileName || !*lpszFileName) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    try {
        auto candidates = pendingTags().candidates();
        if (candidates.empty()) return BE_ERR_INVALID_HANDLE;

        File file(lpszFileName);
        if (!file.ok()) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        struct stat st {};
        if (::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
        const uint64_t start = audioStart(file.fd(), fileSize);
        const uint64_t audioBytes = fileSize - start;

        for (const PendingTag& tag : candidates) {
            // The stream must fill the file from its start, bar an ID3v1 tag added since.
            if (audioBytes != tag.streamBytes && audioBytes != tag.streamBytes + 128) continue;
            std::vector<uint8_t> current(tag.frame.size());
            if (!readAt(file.fd(), start, current.data(), current.size())) continue;
            if (!isPlaceholder(current, tag.frame)) continue;
            if (!writeAt(file.fd(), start, tag.frame.data(), tag.frame.size())) return BE_ERR_INVALID_FORMAT_PARAMETERS;
            pendingTags().consume(tag);
            return BE_ERR_SUCCESSFUL;
        }
        return BE_ERR_INVALID_FORMAT;
    } catch (...) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
}

}  // extern "C"
