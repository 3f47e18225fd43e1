// The codec manager's front: driver table, streams, names and the chooser hook.
#include "codec.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace acm {
namespace detail {

std::optional<Record> Record::parse(std::span<const uint8_t> bytes) {
    Record r;
    if (!readHeader(bytes, r.wfx)) return std::nullopt;
    if (r.wfx.wFormatTag == WAVE_FORMAT_PCM) {
        r.wfx.cbSize = 0;
        return r;
    }
    if (bytes.size() < sizeof(WAVEFORMATEX)) return std::nullopt;
    if (r.wfx.cbSize > bytes.size() - sizeof(WAVEFORMATEX)) return std::nullopt;
    r.extra.assign(bytes.begin() + sizeof(WAVEFORMATEX), bytes.begin() + sizeof(WAVEFORMATEX) + r.wfx.cbSize);
    return r;
}

std::vector<uint8_t> Record::bytes() const {
    WAVEFORMATEX h = wfx;
    h.cbSize = static_cast<uint16_t>(extra.size());
    std::vector<uint8_t> out(sizeof(h) + extra.size());
    std::memcpy(out.data(), &h, sizeof(h));
    if (!extra.empty()) std::memcpy(out.data() + sizeof(h), extra.data(), extra.size());
    return out;
}

Conversion BlockConverter::convert(std::span<const uint8_t> source, std::span<uint8_t> destination, bool end) {
    Conversion c;
    const size_t whole = source.size() / srcBlock_;
    const size_t blocks = std::min(whole, destination.size() / dstBlock_);
    for (size_t i = 0; i < blocks; ++i) convertBlock(source.data() + i * srcBlock_, destination.data() + i * dstBlock_);
    c.sourceUsed = blocks * srcBlock_;
    c.destinationUsed = blocks * dstBlock_;
    const size_t rest = source.size() - c.sourceUsed;
    if (end && padFinal_ && blocks == whole && rest > 0 && destination.size() - c.destinationUsed >= dstBlock_) {
        std::vector<uint8_t> padded(srcBlock_, 0);
        std::copy_n(source.data() + c.sourceUsed, rest, padded.data());
        convertBlock(padded.data(), destination.data() + c.destinationUsed);
        c.sourceUsed += rest;
        c.destinationUsed += dstBlock_;
    }
    return c;
}

std::string rateText(uint32_t hz) {
    std::string digits = std::to_string(hz);
    std::string out;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
        out += digits[i];
        const size_t left = n - 1 - i;
        if (left > 0 && left % 3 == 0) out += ',';
    }
    return out;
}

std::string channelText(uint16_t channels) {
    if (channels == 1) return "Mono";
    if (channels == 2) return "Stereo";
    return std::to_string(channels) + " Channels";
}

WAVEFORMATEX pcm16For(const WAVEFORMATEX& wfx) { return makePcmFormat(wfx.nSamplesPerSec, wfx.nChannels, 16); }

bool samePcm(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.wFormatTag == WAVE_FORMAT_PCM && b.wFormatTag == WAVE_FORMAT_PCM && a.nChannels == b.nChannels &&
           a.nSamplesPerSec == b.nSamplesPerSec && a.wBitsPerSample == b.wBitsPerSample &&
           a.nBlockAlign == b.nBlockAlign;
}

WAVEFORMATEX DriverImpl::suggest(const Record& r) const { return pcm16For(r.wfx); }

std::string DriverImpl::formatName(const Record& r) const {
    return rateText(r.wfx.nSamplesPerSec) + " kHz, " + std::to_string(r.wfx.wBitsPerSample) + " Bit, " +
           channelText(r.wfx.nChannels);
}

namespace {

const std::array<const DriverImpl*, 7>& table() {
    static const std::array<const DriverImpl*, 7> drivers = {&pcmDriver(),       &alawDriver(),    &mulawDriver(),
                                                             &imaAdpcmDriver(),  &msAdpcmDriver(), &gsmDriver(),
                                                             &mpegLayer3Driver()};
    return drivers;
}

const DriverImpl* byId(DriverId id) {
    if (id.value == 0 || id.value > table().size()) return nullptr;
    return table()[id.value - 1];
}

DriverId idOf(const DriverImpl* d) {
    const auto& t = table();
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i] == d) return DriverId{static_cast<uint32_t>(i + 1)};
    return {};
}

const DriverImpl* byTag(uint16_t tag) {
    for (const DriverImpl* d : table())
        if (d->tag() == tag) return d;
    return nullptr;
}

// The driver that takes this record, or null.
const DriverImpl* owner(const Record& r) {
    const DriverImpl* d = byTag(r.wfx.wFormatTag);
    return d && d->accepts(r) ? d : nullptr;
}

struct Plan {
    const DriverImpl* driver = nullptr;
    std::unique_ptr<Converter> converter;
};

Result plan(std::span<const uint8_t> source, std::span<const uint8_t> destination, bool build, Plan& out) {
    auto src = Record::parse(source);
    auto dst = Record::parse(destination);
    if (!src || !dst) return Result::InvalidParam;
    const bool srcPcm = src->wfx.wFormatTag == WAVE_FORMAT_PCM;
    const bool dstPcm = dst->wfx.wFormatTag == WAVE_FORMAT_PCM;
    if (!srcPcm && !dstPcm) return Result::BadFormat;
    const DriverImpl* d = owner(srcPcm ? (dstPcm ? *src : *dst) : *src);
    if (!d) return Result::BadFormat;
    const Record& pcm = srcPcm ? *src : *dst;
    if (srcPcm && dstPcm) {
        if (!d->accepts(*dst)) return Result::BadFormat;
        auto conv = d->decoder(*src, *dst);
        if (!conv) return Result::BadFormat;
        out.converter = build ? std::move(conv) : nullptr;
    } else {
        // A codec talks to the PCM form it suggests, nothing else.
        if (!samePcm(pcm.wfx, d->suggest(srcPcm ? *dst : *src))) return Result::BadFormat;
        auto conv = srcPcm ? d->encoder(*src, *dst) : d->decoder(*src, *dst);
        if (!conv) return Result::BadFormat;
        out.converter = build ? std::move(conv) : nullptr;
    }
    out.driver = d;
    return Result::Ok;
}

}  // namespace
}  // namespace detail

using namespace detail;

const char* resultText(Result r) {
    switch (r) {
    case Result::Ok: return "ok";
    case Result::InvalidParam: return "invalid parameter";
    case Result::BadFormat: return "format not supported";
    case Result::NotPossible: return "not possible";
    case Result::ConvertFailed: return "conversion failed";
    case Result::Cancelled: return "cancelled";
    case Result::NoMemory: return "out of memory";
    }
    return "unknown";
}

size_t maxFormatSize() {
    size_t m = sizeof(WAVEFORMATEX);
    for (const DriverImpl* d : table()) m = std::max(m, d->maxFormatSize());
    return m;
}

Result suggestPcm(std::span<const uint8_t> record, WAVEFORMATEX& pcm) {
    auto r = Record::parse(record);
    if (!r) return Result::InvalidParam;
    const DriverImpl* d = owner(*r);
    if (!d) return Result::BadFormat;
    pcm = d->suggest(*r);
    return Result::Ok;
}

// ---------------------------------------------------------------- Stream

class Stream::Impl {
public:
    const DriverImpl* driver = nullptr;
    std::unique_ptr<Converter> converter;
    std::vector<uint8_t> source, destination;
};

Stream::Stream() = default;
Stream::~Stream() = default;
Stream::Stream(Stream&&) noexcept = default;
Stream& Stream::operator=(Stream&&) noexcept = default;

Result Stream::query(std::span<const uint8_t> source, std::span<const uint8_t> destination) {
    Plan p;
    return plan(source, destination, false, p);
}

Result Stream::open(std::span<const uint8_t> source, std::span<const uint8_t> destination) {
    close();
    Plan p;
    Result r = plan(source, destination, true, p);
    if (r != Result::Ok) return r;
    impl_ = std::make_unique<Impl>();
    impl_->driver = p.driver;
    impl_->converter = std::move(p.converter);
    impl_->source = Record::parse(source)->bytes();
    impl_->destination = Record::parse(destination)->bytes();
    return Result::Ok;
}

bool Stream::isOpen() const { return impl_ != nullptr; }

Result Stream::size(size_t bytes, Direction direction, size_t& result) const {
    result = 0;
    if (!impl_) return Result::InvalidParam;
    result = direction == Direction::SourceToDestination ? impl_->converter->sourceToDestination(bytes)
                                                         : impl_->converter->destinationToSource(bytes);
    return Result::Ok;
}

Conversion Stream::convert(std::span<const uint8_t> source, std::span<uint8_t> destination, bool end) {
    if (!impl_) return Conversion{Result::InvalidParam, 0, 0};
    return impl_->converter->convert(source, destination, end);
}

DriverId Stream::driverId() const { return impl_ ? idOf(impl_->driver) : DriverId{}; }

const std::vector<uint8_t>& Stream::sourceFormat() const {
    static const std::vector<uint8_t> none;
    return impl_ ? impl_->source : none;
}
const std::vector<uint8_t>& Stream::destinationFormat() const {
    static const std::vector<uint8_t> none;
    return impl_ ? impl_->destination : none;
}

void Stream::close() { impl_.reset(); }

// ---------------------------------------------------------------- Drivers and names

Result Driver::open(DriverId id) {
    id_ = {};
    if (!byId(id)) return Result::InvalidParam;
    id_ = id;
    return Result::Ok;
}

void Driver::close() { id_ = {}; }

Result Driver::formatTagDetails(uint16_t formatTag, FormatTagDetails& details) const {
    const DriverImpl* d = byId(id_);
    if (!d) return Result::InvalidParam;
    if (d->tag() != formatTag) return Result::BadFormat;
    details.formatTag = formatTag;
    details.formatSize = d->maxFormatSize();
    details.name = d->tagName();
    return Result::Ok;
}

Result Driver::formatDetails(std::span<const uint8_t> record, FormatDetails& details) const {
    const DriverImpl* d = byId(id_);
    if (!d) return Result::InvalidParam;
    auto r = Record::parse(record);
    if (!r) return Result::InvalidParam;
    if (r->wfx.wFormatTag != d->tag() || !d->accepts(*r)) return Result::BadFormat;
    details.formatTag = r->wfx.wFormatTag;
    details.name = d->formatName(*r);
    return Result::Ok;
}

std::vector<std::vector<uint8_t>> Driver::formats() const {
    std::vector<std::vector<uint8_t>> out;
    if (const DriverImpl* d = byId(id_))
        for (const Record& r : d->standardFormats()) out.push_back(r.bytes());
    return out;
}

std::vector<DriverId> drivers() {
    std::vector<DriverId> ids;
    for (const DriverImpl* d : table()) ids.push_back(idOf(d));
    return ids;
}

DriverId driverForTag(uint16_t formatTag) {
    const DriverImpl* d = byTag(formatTag);
    return d ? idOf(d) : DriverId{};
}

Result formatTagDetails(uint16_t formatTag, FormatTagDetails& details) {
    Driver d;
    if (d.open(driverForTag(formatTag)) != Result::Ok) return Result::BadFormat;
    return d.formatTagDetails(formatTag, details);
}

Result formatDetails(std::span<const uint8_t> record, FormatDetails& details) {
    WAVEFORMATEX h{};
    if (!readHeader(record, h)) return Result::InvalidParam;
    Driver d;
    if (d.open(driverForTag(h.wFormatTag)) != Result::Ok) return Result::BadFormat;
    return d.formatDetails(record, details);
}

std::string describe(std::span<const uint8_t> record) {
    WAVEFORMATEX h{};
    if (!readHeader(record, h)) return {};
    FormatTagDetails tag;
    FormatDetails format;
    if (formatTagDetails(h.wFormatTag, tag) == Result::Ok && formatDetails(record, format) == Result::Ok)
        return tag.name + " " + format.name;
    // Samples stored as they sound that no driver converts (floats, deep or
    // many-channel PCM) are named in the same shape.
    const bool pcm = h.wFormatTag == WAVE_FORMAT_PCM, floats = h.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    if ((pcm || floats) && h.nChannels > 0 && h.nSamplesPerSec > 0 && h.wBitsPerSample > 0)
        return std::string(pcm ? "PCM " : "IEEE Float ") + rateText(h.nSamplesPerSec) + " kHz, " +
               std::to_string(h.wBitsPerSample) + " Bit, " + channelText(h.nChannels);
    return {};
}

// ---------------------------------------------------------------- Chooser

namespace {
struct ChooserSlot {
    std::mutex lock;
    FormatChooser chooser;
};
ChooserSlot& chooserSlot() {
    static ChooserSlot slot;
    return slot;
}
}  // namespace

void setFormatChooser(FormatChooser chooser) {
    ChooserSlot& s = chooserSlot();
    std::lock_guard<std::mutex> g(s.lock);
    s.chooser = std::move(chooser);
}

Result chooseFormat(const std::string& title, std::span<uint8_t> buffer, size_t& used) {
    used = 0;
    FormatChooser chooser;
    {
        ChooserSlot& s = chooserSlot();
        std::lock_guard<std::mutex> g(s.lock);
        chooser = s.chooser;
    }
    if (!chooser) return Result::Cancelled;
    std::vector<uint8_t> chosen;
    if (!chooser(title, chosen)) return Result::Cancelled;
    auto r = Record::parse(chosen);
    if (!r || !owner(*r)) return Result::BadFormat;
    std::vector<uint8_t> bytes = r->bytes();
    if (bytes.size() > buffer.size()) return Result::InvalidParam;
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    used = bytes.size();
    return Result::Ok;
}

}  // namespace acm
