#include "client/loudness.h"

#include <algorithm>
#include <cstdio>

#include "client/errors.h"
#include "client/outcome.h"
#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "qoro/com.h"

namespace qoro::client::loudness {

namespace {

using qoro::com::Bstr;
using qoro::com::ComPtr;

// The BS.1770 position of each channel of the usual WAVE layout of a count
// of channels (the speaker bits in order: FL FR FC LFE BL BR [BC] SL SR).
// Back speakers of a 5.1 or quadraphonic file stand where BS.1770 puts the
// surrounds (110 degrees); those of 7.1 at 135 degrees, its sides at 90.
void mapWaveChannels(ebur128_state* st, int channels) {
    constexpr int L = EBUR128_LEFT, R = EBUR128_RIGHT, C = EBUR128_CENTER, LFE = EBUR128_UNUSED;
    constexpr int Ls = EBUR128_LEFT_SURROUND, Rs = EBUR128_RIGHT_SURROUND;
    static const std::vector<int> kLayouts[] = {
        {},
        {C},
        {L, R},
        {L, R, C},
        {L, R, Ls, Rs},
        {L, R, C, Ls, Rs},
        {L, R, C, LFE, Ls, Rs},
        {L, R, C, LFE, EBUR128_Mp180, EBUR128_Mp090, EBUR128_Mm090},
        {L, R, C, LFE, EBUR128_Mp135, EBUR128_Mm135, EBUR128_Mp090, EBUR128_Mm090},
    };
    if (channels < 1 || channels >= static_cast<int>(std::size(kLayouts))) return;  // libebur128's own order
    const std::vector<int>& layout = kLayouts[channels];
    for (size_t i = 0; i < layout.size(); ++i) ebur128_set_channel(st, static_cast<unsigned>(i), layout[i]);
}

std::string twoDecimals(double value, const char* format) {
    char text[48];
    // -0.004 is written as 0.00, not as -0.00.
    const double rounded = std::round(value * 100.0) / 100.0;
    std::snprintf(text, sizeof text, format, rounded == 0.0 ? 0.0 : rounded);
    return text;
}

std::string gainText(double db) { return twoDecimals(db, "%+.2f dB"); }

std::string peakText(double peak) {
    char text[48];
    std::snprintf(text, sizeof text, "%.6f", std::isfinite(peak) ? std::max(peak, 0.0) : 0.0);
    return text;
}

// --- the components --------------------------------------------------------

// Closes an opened AudioFile however the measurement ends.
struct OpenedFile {
    IAudioFile* file;
    ~OpenedFile() {
        file->CloseFile();
        qoro::com::takeErrorDescription();
    }
};

// Adds one array of float samples to the meter; false when it holds no
// samples (the end).
template <class Sink>
bool addArray(Sink& meter, int channels, SAFEARRAY* array, std::string& cause) {
    LONG lower = 0, upper = -1;
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)) || upper < lower)
        return false;
    VARTYPE type = VT_EMPTY;
    void* data = nullptr;
    if (FAILED(SafeArrayGetVartype(array, &type)) || type != VT_R4 || FAILED(SafeArrayAccessData(array, &data))) {
        cause = "the audio file component gives no float samples";
        return false;
    }
    const size_t samples = static_cast<size_t>(upper - lower) + 1;
    meter.addFloats(static_cast<const float*>(data), samples / static_cast<size_t>(channels));
    SafeArrayUnaccessData(array);
    return true;
}

// The ID3v1 fields an MPEG file's properties hold when it has no ID3v2 tag:
// any of them read means there is a tag to carry into the new one.
bool anyProperty(IAudioInformation* info) {
    HRESULT(IAudioInformation::*const texts[])
    (BSTR*) = {&IAudioInformation::get_infoTitle, &IAudioInformation::get_infoArtist, &IAudioInformation::get_infoAlbum,
               &IAudioInformation::get_infoComments};
    for (auto get : texts) {
        Bstr text;
        (info->*get)(text.put());
        if (text.length() > 0) return true;
    }
    LONG year = 0;
    SHORT track = 0;
    info->get_infoYear(&year);
    info->get_infoTrack(&track);
    return year > 0 || track > 0;
}

// Reads the file's tags into the object's state, the ID3v2 tag of an MPEG
// file. One that has only an ID3v1 tag starts from that tag's fields, so the
// ID3v2 tag written holds them too and the ID3v1 tag keeps them (the writer
// brings it in line with the ID3v2 tag). The cause when it is no file whose
// tags are read.
std::string readTags(IAudioInformation* info, BSTR name) {
    info->put_mp3FastAnalysis(TRUE);  // the tags are wanted, not the exact length
    info->put_mp3TagInfoVersion(2);
    clearErrorInfo();
    info->GetAudioInformation(name);
    const std::string why = qoro::com::takeErrorDescription();
    SHORT type = 0;
    LONG frequency = 0;
    info->get_infoType(&type);
    info->get_infoFrequency(&frequency);
    if (type == 0 || frequency <= 0) return why.empty() ? "not an audio file of a type whose tags are read" : why;
    if (!anyProperty(info)) {
        info->put_mp3TagInfoVersion(1);
        info->GetAudioInformation(name);
        const bool id3v1 = anyProperty(info);
        info->put_mp3TagInfoVersion(2);
        if (!id3v1) info->GetAudioInformation(name);
        qoro::com::takeErrorDescription();
    }
    return {};
}

HRESULT setValues(IAudioInformation3* info, const TagValue& v) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, v.value.empty() ? 0 : 1);
    if (!array) return E_OUTOFMEMORY;
    if (!v.value.empty()) {
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(array, &data))) {
            SafeArrayDestroy(array);
            return E_FAIL;
        }
        static_cast<BSTR*>(data)[0] = qoro::com::bstrFromUtf8(v.value);
        SafeArrayUnaccessData(array);
    }
    VARIANT values;
    VariantInit(&values);
    values.vt = VT_ARRAY | VT_BSTR;
    values.parray = array;
    const HRESULT hr = info->SetFieldValues(Bstr(v.name).get(), values);
    SafeArrayDestroy(array);
    return hr;
}

std::vector<std::string> valuesOf(IAudioInformation3* info, const std::string& name) {
    VARIANT values;
    VariantInit(&values);
    std::vector<std::string> texts;
    if (SUCCEEDED(info->GetFieldValues(Bstr(name).get(), &values)) && values.vt == (VT_ARRAY | VT_BSTR) &&
        values.parray) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(values.parray, 1, &lower);
        SafeArrayGetUBound(values.parray, 1, &upper);
        void* data = nullptr;
        if (upper >= lower && SUCCEEDED(SafeArrayAccessData(values.parray, &data))) {
            for (LONG i = 0; i <= upper - lower; ++i)
                texts.push_back(qoro::com::utf8FromBstr(static_cast<BSTR*>(data)[i]));
            SafeArrayUnaccessData(values.parray);
        }
    }
    VariantClear(&values);
    return texts;
}

}  // namespace

// --- the meter -------------------------------------------------------------

Meter::Meter(long rate, int channels, Options options) : rate_(rate), channels_(channels), options_(options) {
    if (rate <= 0 || channels <= 0) return;
    // The sample peak is taken here: libebur128's costs half as much again
    // as its loudness, ours next to nothing.
    peaks_.assign(static_cast<size_t>(channels), 0.0);
    const int mode = (options.loudness ? EBUR128_MODE_I : 0) | (options.truePeak ? EBUR128_MODE_TRUE_PEAK : 0);
    if (mode == 0) return;  // the sample peak alone
    state_.reset(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate), mode));
    if (state_) mapWaveChannels(state_.get(), channels);
}

template <class T>
void Meter::notePeaks(const T* interleaved, size_t frames, double fullScale) {
    const size_t n = static_cast<size_t>(channels_);
    for (size_t c = 0; c < n; ++c) {
        T most = 0, least = 0;
        for (size_t i = c; i < frames * n; i += n) {
            most = std::max(most, interleaved[i]);
            least = std::min(least, interleaved[i]);
        }
        peaks_[c] =
            std::max({peaks_[c], static_cast<double>(most) / fullScale, -static_cast<double>(least) / fullScale});
    }
}

void Meter::taken(int result) {
    if (result != EBUR128_SUCCESS) failed_ = true;
}

void Meter::addFloats(const float* interleaved, size_t frames) {
    if (!ok() || frames == 0) return;
    notePeaks(interleaved, frames, 1.0);
    if (state_) taken(ebur128_add_frames_float(state_.get(), interleaved, frames));
}

void Meter::addInt16(const int16_t* interleaved, size_t frames) {
    if (!ok() || frames == 0) return;
    notePeaks(interleaved, frames, 32768.0);
    if (state_) taken(ebur128_add_frames_short(state_.get(), interleaved, frames));
}

void Meter::addInt32(const int32_t* interleaved, size_t frames, int bits) {
    if (!ok() || frames == 0) return;
    if (bits == 32) {
        notePeaks(interleaved, frames, 2147483648.0);
        if (state_) taken(ebur128_add_frames_int(state_.get(), interleaved, frames));
        return;
    }
    // libebur128 takes integers as full 32-bit words: 24 bits move to the
    // top (a value beyond 24 bits is held at the edge of the range).
    const size_t samples = frames * static_cast<size_t>(channels_);
    widened_.resize(samples);
    constexpr int32_t kMax = (1 << 23) - 1, kMin = -(1 << 23);
    for (size_t i = 0; i < samples; ++i)
        widened_[i] = static_cast<int32_t>(static_cast<uint32_t>(std::clamp(interleaved[i], kMin, kMax)) << 8);
    notePeaks(widened_.data(), frames, 2147483648.0);
    if (state_) taken(ebur128_add_frames_int(state_.get(), widened_.data(), frames));
}

double Meter::integrated() const {
    double lufs = -HUGE_VAL;
    if (!state_ || !options_.loudness || ebur128_loudness_global(state_.get(), &lufs) != EBUR128_SUCCESS) return -HUGE_VAL;
    return lufs;
}

double Meter::peak() const {
    if (!ok()) return 0;
    double most = 0;
    for (int c = 0; c < channels_; ++c) {
        most = std::max(most, peaks_[static_cast<size_t>(c)]);
        // The true peak is never below the samples' own.
        double p = 0;
        if (options_.truePeak && state_ && ebur128_true_peak(state_.get(), static_cast<unsigned>(c), &p) == EBUR128_SUCCESS)
            most = std::max(most, p);
    }
    return most;
}

// --- the meter's own thread -------------------------------------------------

namespace {
// Blocks waiting for the meter: some seconds of 0.1 s blocks.
constexpr size_t kMaxWaiting = 64;
}  // namespace

MeterThread::MeterThread(long rate, int channels, Options options)
    : meter_(rate, channels, options), thread_([this] { run(); }) {}

MeterThread::~MeterThread() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    waiting_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void MeterThread::hand(Kind kind, int bits, const void* samples, size_t frames, size_t sampleSize) {
    if (frames == 0) return;
    Block block{kind, bits, frames, {}};
    const auto* bytes = static_cast<const uint8_t*>(samples);
    block.bytes.assign(bytes, bytes + frames * static_cast<size_t>(meter_.channels()) * sampleSize);
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return blocks_.size() < kMaxWaiting; });
    blocks_.push_back(std::move(block));
    const bool wasEmpty = blocks_.size() == 1;
    lock.unlock();
    if (wasEmpty) waiting_.notify_one();  // the meter may be asleep
}

void MeterThread::run() {
    for (;;) {
        std::unique_lock lock(mutex_);
        waiting_.wait(lock, [this] { return ended_ || !blocks_.empty(); });
        if (blocks_.empty()) return;  // ended, and every block measured
        Block block = std::move(blocks_.front());
        blocks_.pop_front();
        const bool wasFull = blocks_.size() + 1 == kMaxWaiting;
        lock.unlock();
        if (wasFull) room_.notify_one();  // the caller may be waiting for room
        const void* data = block.bytes.data();
        switch (block.kind) {
        case Kind::Floats: meter_.addFloats(static_cast<const float*>(data), block.frames); break;
        case Kind::Int16: meter_.addInt16(static_cast<const int16_t*>(data), block.frames); break;
        case Kind::Int32: meter_.addInt32(static_cast<const int32_t*>(data), block.frames, block.bits); break;
        }
    }
}

Meter MeterThread::finish() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    waiting_.notify_one();
    if (thread_.joinable()) thread_.join();
    return std::move(meter_);
}

Measured measured(const Meter& meter) {
    if (!meter.ok()) return {};
    return {meter.integrated(), meter.peak()};
}

Measured album(std::span<const Meter* const> tracks) {
    std::vector<ebur128_state*> states;
    Measured m;
    for (const Meter* t : tracks) {
        if (!t || !t->ok()) continue;
        states.push_back(t->state());
        m.peak = std::max(m.peak, t->peak());
    }
    double lufs = -HUGE_VAL;
    if (!states.empty() && ebur128_loudness_global_multiple(states.data(), states.size(), &lufs) == EBUR128_SUCCESS)
        m.lufs = lufs;
    return m;
}

// --- the values ------------------------------------------------------------

double replayGainDb(const Measured& m) { return kReplayGainReference - m.lufs; }

int r128Gain(const Measured& m) {
    const double q78 = std::round((kR128Reference - m.lufs) * 256.0);
    return static_cast<int>(std::clamp(q78, -32768.0, 32767.0));
}

std::vector<TagValue> tagValues(const Measured& track, const std::optional<Measured>& album, bool opus) {
    std::vector<TagValue> values;
    if (opus) {
        // RFC 7845: the gains in addition to the header's output gain (which
        // the decoded samples measured already carry), and no ReplayGain.
        values.push_back({"R128_TRACK_GAIN", track.silent() ? "" : std::to_string(r128Gain(track))});
        if (album) values.push_back({"R128_ALBUM_GAIN", album->silent() ? "" : std::to_string(r128Gain(*album))});
        for (const char* name : {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_ALBUM_GAIN",
                                 "REPLAYGAIN_ALBUM_PEAK", "REPLAYGAIN_REFERENCE_LOUDNESS"})
            values.push_back({name, ""});
        return values;
    }
    values.push_back({"REPLAYGAIN_TRACK_GAIN", track.silent() ? "" : gainText(replayGainDb(track))});
    values.push_back({"REPLAYGAIN_TRACK_PEAK", peakText(track.peak)});
    if (album) {
        values.push_back({"REPLAYGAIN_ALBUM_GAIN", album->silent() ? "" : gainText(replayGainDb(*album))});
        values.push_back({"REPLAYGAIN_ALBUM_PEAK", peakText(album->peak)});
    }
    values.push_back({"REPLAYGAIN_REFERENCE_LOUDNESS", twoDecimals(kReplayGainReference, "%.2f LUFS")});
    return values;
}

// --- files -----------------------------------------------------------------

std::string writeTags(const std::string& path, const std::vector<TagValue>& values) {
    ComPtr<IAudioInformation3> info;
    if (FAILED(CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation3,
                                info.putVoid())))
        return "the audio information component is not available";
    const Bstr name(path);
    if (std::string cause = readTags(info.get(), name.get()); !cause.empty()) return cause;
    for (const TagValue& v : values) {
        clearErrorInfo();
        if (FAILED(setValues(info.get(), v))) {
            const std::string why = qoro::com::takeErrorDescription();
            return "its tags cannot hold " + v.name + (why.empty() ? std::string() : ": " + why);
        }
    }
    clearErrorInfo();
    if (FAILED(info->SetAudioInformation(name.get()))) {
        std::string why = qoro::com::takeErrorDescription();
        if (why.empty()) why = unreadableFileCause(path);
        return why.empty() ? "the tags could not be written" : why;
    }
    // What the file holds now, read from the file itself.
    if (std::string cause = readTags(info.get(), name.get()); !cause.empty()) return cause;
    for (const TagValue& v : values) {
        const std::vector<std::string> held = valuesOf(info.get(), v.name);
        const bool right = v.value.empty() ? held.empty() : held == std::vector<std::string>{v.value};
        if (!right) return "the file does not hold " + v.name + " as written";
    }
    return {};
}

std::optional<Meter> measureFile(const std::string& path, Options options, std::string& cause) {
    cause.clear();
    ComPtr<IAudioFile3> file;
    if (FAILED(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile3, file.putVoid()))) {
        cause = "the audio file component is not available";
        return std::nullopt;
    }
    clearErrorInfo();
    Outcome o = examine(file.get(), file->OpenFile(Bstr(path).get(), DEFAULT, READ));
    if (o.failed()) {
        cause = unreadableFileCause(path);
        if (cause.empty()) cause = o.cause();
        return std::nullopt;
    }
    OpenedFile opened{file.get()};
    LONG rate = 0, channels = 0;
    if (FAILED(file->get_ArrayFrequency(&rate)) || FAILED(file->get_FileChannels(&channels)) || rate <= 0 ||
        channels <= 0) {
        cause = "the file reports no sample format";
        return std::nullopt;
    }
    clearErrorInfo();
    o = examine(file.get(), file->SetFormatArrayKind(rate, channels, SAMPLE_FLOAT32));
    if (o.failed()) {
        cause = "its samples cannot be read as floats: " + o.cause();
        return std::nullopt;
    }
    if (!Meter(rate, static_cast<int>(channels), options).ok()) {
        cause = "no loudness meter for " + std::to_string(rate) + " Hz in " + std::to_string(channels) + " channels";
        return std::nullopt;
    }
    // The loudness is measured on a thread of its own while the next blocks
    // are decoded; a peak alone costs too little for that.
    std::optional<Meter> alone;
    std::optional<MeterThread> metering;
    if (options.loudness || options.truePeak)
        metering.emplace(rate, static_cast<int>(channels), options);
    else
        alone.emplace(rate, static_cast<int>(channels), options);
    const LONGLONG block = std::max<LONG>(rate / 10, 1);
    for (;;) {
        SAFEARRAY* raw = nullptr;
        clearErrorInfo();
        const HRESULT hr = file->ReadSamples(block, &raw);
        SampleArray array(raw);
        o = examine(file.get(), hr);
        if (o.failed()) {
            cause = "reading it failed: " + o.cause();
            return std::nullopt;
        }
        const bool more = metering ? addArray(*metering, static_cast<int>(channels), array.get(), cause)
                                   : addArray(*alone, static_cast<int>(channels), array.get(), cause);
        if (!more) break;
    }
    if (!cause.empty()) return std::nullopt;
    Meter meter = metering ? metering->finish() : std::move(*alone);
    if (!meter.ok()) {
        cause = "the loudness meter ran out of memory";
        return std::nullopt;
    }
    return meter;
}

}  // namespace qoro::client::loudness
