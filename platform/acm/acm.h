// The codec manager: our stand-in for the Windows Audio Compression Manager.
//
// Installed drivers (one per format tag):
//   PCM (1)              conversions between PCM records (8/16 bits, 1/2 channels)
//   CCITT A-law (6)      G.711
//   CCITT u-law (7)      G.711
//   IMA ADPCM (17)       WAV block layout
//   Microsoft ADPCM (2)  WAV block layout, coefficients from the record
//   GSM 6.10 (49)        libgsm, WAV49 framing (65-byte blocks of 320 samples)
//   MPEG Layer-3 (85)    decoding over libmpg123, CBR encoding over libmp3lame
//
// Format records are passed as bytes: a WAVEFORMATEX followed by its cbSize
// extra bytes (see wave_format.h). Every record is checked before use; nothing
// here throws, every operation returns a Result.
//
// Usage:
//   acm::WAVEFORMATEX pcm;
//   if (acm::suggestPcm(record, pcm) != acm::Result::Ok) ...;     // record: span of the "fmt " bytes
//   acm::Stream s;
//   if (s.open(record, acm::asBytes(pcm)) != acm::Result::Ok) ...;
//   size_t out = 0;
//   s.size(inBytes, acm::Direction::SourceToDestination, out);
//   acm::Conversion c = s.convert(inSpan, outSpan);                 // c.sourceUsed, c.destinationUsed
#pragma once

#include "wave_format.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace acm {

enum class Result {
    Ok = 0,
    InvalidParam,   // MMSYSERR_INVALPARAM: bad handle, buffer too small, damaged record
    BadFormat,      // ACMERR_NOTPOSSIBLE / WAVERR_BADFORMAT: no driver takes the record(s)
    NotPossible,    // ACMERR_NOTPOSSIBLE: the operation cannot be done with this stream
    ConvertFailed,  // a codec refused the data (damaged input is skipped, not this)
    Cancelled,      // ACMERR_CANCELED: the format chooser was dismissed or is not installed
    NoMemory,       // MMSYSERR_NOMEM
};

// A short English text for a result (for logs and test messages).
const char* resultText(Result r);

// Identifies an installed driver (HACMDRIVERID). Value 0 is "no driver".
struct DriverId {
    uint32_t value = 0;
    explicit operator bool() const { return value != 0; }
    friend bool operator==(DriverId, DriverId) = default;
};

enum class Direction {
    SourceToDestination,  // ACM_STREAMSIZEF_SOURCE: output bytes for n input bytes
    DestinationToSource,  // ACM_STREAMSIZEF_DESTINATION: input bytes needed for n output bytes
};

// Largest format record any installed driver uses (acmMetrics ACM_METRIC_MAX_SIZE_FORMAT).
size_t maxFormatSize();

// A PCM form for any record (acmFormatSuggest with no restriction flags): the
// record itself for PCM, else 16-bit PCM at the record's rate and channels.
Result suggestPcm(std::span<const uint8_t> record, WAVEFORMATEX& pcm);

// Outcome of one conversion step.
struct Conversion {
    Result status = Result::Ok;
    size_t sourceUsed = 0;       // cbSrcLengthUsed
    size_t destinationUsed = 0;  // cbDstLengthUsed
};

// A conversion stream between two records (HACMSTREAM), always non-real-time.
// One of them must be PCM, or both (PCM to PCM at the same rate).
class Stream {
public:
    Stream();
    ~Stream();
    Stream(Stream&&) noexcept;
    Stream& operator=(Stream&&) noexcept;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Whether a driver could convert source to destination
    // (acmStreamOpen with ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_NONREALTIME).
    static Result query(std::span<const uint8_t> source, std::span<const uint8_t> destination);

    // Opens the stream (acmStreamOpen, ACM_STREAMOPENF_NONREALTIME). An open
    // stream is closed first.
    Result open(std::span<const uint8_t> source, std::span<const uint8_t> destination);

    bool isOpen() const;

    // Bytes on the other side for n bytes on one side (acmStreamSize). Source to
    // destination counts whole source blocks only (0 when n is less than one);
    // destination to source rounds up to whole source blocks.
    Result size(size_t bytes, Direction direction, size_t& result) const;

    // Converts as many whole source blocks as fit into the destination
    // (acmStreamConvert with ACM_STREAMCONVERTF_BLOCKALIGN; the stream header's
    // prepare/unprepare need no counterpart here). With 'end' set
    // (ACM_STREAMCONVERTF_END) an encoder also takes a final partial block,
    // padded with silence, and drains what it holds back.
    Conversion convert(std::span<const uint8_t> source, std::span<uint8_t> destination, bool end = false);

    // The driver serving this stream (acmDriverID).
    DriverId driverId() const;

    // The records the stream converts between (as given to open).
    const std::vector<uint8_t>& sourceFormat() const;
    const std::vector<uint8_t>& destinationFormat() const;

    // acmStreamClose. Also done by the destructor.
    void close();

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Format-tag details (ACMFORMATTAGDETAILS).
struct FormatTagDetails {
    uint16_t formatTag = 0;
    size_t formatSize = 0;  // largest record of this tag (cbFormatSize)
    std::string name;       // szFormatTag, e.g. "IMA ADPCM"
};

// Format details (ACMFORMATDETAILS).
struct FormatDetails {
    uint16_t formatTag = 0;
    std::string name;  // szFormat, e.g. "22,050 kHz, 4 Bit, Mono"
};

// An opened driver (HACMDRIVER) that answers questions about its formats.
class Driver {
public:
    Driver() = default;
    // acmDriverOpen. Fails with InvalidParam for an unknown id.
    Result open(DriverId id);
    // acmDriverClose. Also done by the destructor.
    void close();
    bool isOpen() const { return bool(id_); }
    DriverId id() const { return id_; }

    // acmFormatTagDetailsA with ACM_FORMATTAGDETAILSF_FORMATTAG.
    Result formatTagDetails(uint16_t formatTag, FormatTagDetails& details) const;
    // acmFormatDetailsA with ACM_FORMATDETAILSF_FORMAT. A PCM record may be
    // passed as 16 bytes, any other as 18 + cbSize bytes.
    Result formatDetails(std::span<const uint8_t> record, FormatDetails& details) const;

    // acmFormatEnum for this driver's tag: the standard records it offers.
    std::vector<std::vector<uint8_t>> formats() const;

private:
    DriverId id_{};
};

// The installed drivers (acmDriverEnum), in a fixed order.
std::vector<DriverId> drivers();
// The driver of a format tag, or an empty id (acmDriverID by tag).
DriverId driverForTag(uint16_t formatTag);

// Without a driver handle (hadid = NULL): asks every installed driver.
Result formatTagDetails(uint16_t formatTag, FormatTagDetails& details);
Result formatDetails(std::span<const uint8_t> record, FormatDetails& details);

// "Tag name + blank + format name", the description the components show;
// PCM and float samples no driver takes are named in the same shape ("IEEE
// Float 44,100 kHz, 32 Bit, Stereo"). Empty for other formats without names.
std::string describe(std::span<const uint8_t> record);

// The format chooser (acmFormatChooseA). The host program may install a hook
// that shows its own dialog: it gets the title and returns the chosen record
// (WAVEFORMATEX + extra bytes) or false when the user cancels.
using FormatChooser = std::function<bool(const std::string& title, std::vector<uint8_t>& chosen)>;

// Installs (or, with an empty function, removes) the process's chooser.
void setFormatChooser(FormatChooser chooser);

// Runs the chooser. Without a hook, or when it returns false: Cancelled. The
// chosen record is checked (a driver must know it) and copied into 'buffer';
// a record larger than the buffer is InvalidParam. 'used' receives its size.
Result chooseFormat(const std::string& title, std::span<uint8_t> buffer, size_t& used);

}  // namespace acm
