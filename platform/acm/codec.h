// Inside the codec manager: what a driver offers and what a stream runs.
#pragma once

#include "acm.h"

#include <memory>
#include <optional>
#include <vector>

namespace acm::detail {

// A record after checking: the header and its extra bytes (none for PCM).
struct Record {
    WAVEFORMATEX wfx{};
    std::vector<uint8_t> extra;

    // Parses and bounds-checks a record buffer. PCM needs 16 bytes (its cbSize
    // is ignored); any other tag 18 + cbSize bytes.
    static std::optional<Record> parse(std::span<const uint8_t> bytes);
    std::vector<uint8_t> bytes() const;
};

// Limits every driver applies to the common fields.
inline constexpr uint32_t kMinRate = 1000;
inline constexpr uint32_t kMaxRate = 384000;
inline bool plausibleRate(uint32_t rate) { return rate >= kMinRate && rate <= kMaxRate; }

// The running part of a stream.
class Converter {
public:
    virtual ~Converter() = default;
    virtual size_t sourceToDestination(size_t bytes) const = 0;
    virtual size_t destinationToSource(size_t bytes) const = 0;
    virtual Conversion convert(std::span<const uint8_t> source, std::span<uint8_t> destination, bool end) = 0;
};

// A converter of fixed-size blocks: every source block of srcBlock bytes becomes
// one destination block of dstBlock bytes.
class BlockConverter : public Converter {
public:
    BlockConverter(size_t srcBlock, size_t dstBlock, bool padFinalBlock)
        : srcBlock_(srcBlock), dstBlock_(dstBlock), padFinal_(padFinalBlock) {}
    size_t sourceToDestination(size_t bytes) const override { return bytes / srcBlock_ * dstBlock_; }
    size_t destinationToSource(size_t bytes) const override { return (bytes + dstBlock_ - 1) / dstBlock_ * srcBlock_; }
    Conversion convert(std::span<const uint8_t> source, std::span<uint8_t> destination, bool end) override;

protected:
    // Converts one whole block. Damaged blocks still produce dstBlock bytes.
    virtual void convertBlock(const uint8_t* src, uint8_t* dst) = 0;
    size_t srcBlock_, dstBlock_;

private:
    bool padFinal_;
};

// One installed driver.
class DriverImpl {
public:
    virtual ~DriverImpl() = default;
    virtual uint16_t tag() const = 0;
    virtual const char* tagName() const = 0;
    virtual size_t maxFormatSize() const { return sizeof(WAVEFORMATEX); }
    // Whether the record is one this driver can decode or encode.
    virtual bool accepts(const Record& r) const = 0;
    // The PCM form of an accepted record.
    virtual WAVEFORMATEX suggest(const Record& r) const;
    // The name of an accepted record's format.
    virtual std::string formatName(const Record& r) const;
    // Converters; null when the pair is not supported.
    virtual std::unique_ptr<Converter> decoder(const Record& src, const Record& pcm) const = 0;
    virtual std::unique_ptr<Converter> encoder(const Record& pcm, const Record& dst) const = 0;
    // The standard records offered to a chooser.
    virtual std::vector<Record> standardFormats() const { return {}; }
};

// Helpers shared by the drivers.
std::string rateText(uint32_t hz);  // 44100 -> "44,100"
std::string channelText(uint16_t channels);
// The PCM record the codec decodes to: 16-bit, same rate and channels.
WAVEFORMATEX pcm16For(const WAVEFORMATEX& wfx);
bool samePcm(const WAVEFORMATEX& a, const WAVEFORMATEX& b);

const DriverImpl& pcmDriver();
const DriverImpl& alawDriver();
const DriverImpl& mulawDriver();
const DriverImpl& imaAdpcmDriver();
const DriverImpl& msAdpcmDriver();
const DriverImpl& gsmDriver();
const DriverImpl& mpegLayer3Driver();

// PCM to PCM conversion (same rate), shared with nothing else.
std::unique_ptr<Converter> pcmConverter(const WAVEFORMATEX& src, const WAVEFORMATEX& dst);

inline int16_t readLe16(const uint8_t* p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }
inline void writeLe16(uint8_t* p, int v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

}  // namespace acm::detail
