// The Layer II encoder is library code inside a host program: whatever it
// refuses, it says so through its result codes and lastMessage(), never on
// the host's standard output or error; and when memory runs out while an
// instance (its psychoacoustic models and their FFT tables) is built, the
// instance is refused whole and nothing of it is left.
//
// This executable replaces operator new so that the n-th allocation from a
// chosen moment fails: every allocation an instance makes is made to fail
// in turn.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "mp2_encoder.h"
#include "psycho_model2.h"

namespace {

// Allocations left before one fails; negative: none fails.
std::atomic<long> allocationsLeft{-1};

void* allocate(std::size_t n, std::size_t alignment) {
    if (allocationsLeft.load() >= 0 && allocationsLeft.fetch_sub(1) == 0) throw std::bad_alloc();
    void* p = alignment > alignof(std::max_align_t)
                  ? std::aligned_alloc(alignment, (n + alignment - 1) / alignment * alignment)
                  : std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n, 0); }
void* operator new[](std::size_t n) { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace qoro::test {
namespace {

using mp2enc::Mp2Encoder;
using mp2enc::Mp2Instance;
using mp2enc::Mp2Options;

Mp2Options opts(int rate, int kbps, int mode) {
    Mp2Options o;
    o.sampleRate = rate;
    o.bitrateKbps = kbps;
    o.mode = mode;
    return o;
}

// Runs `body` with file descriptors 1 and 2 sent to a file of their own and
// returns what reached them. Nothing may be asserted inside `body` (the test
// framework's own messages go to file descriptor 1).
std::string writtenToStandardStreams(const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    char path[] = "/tmp/qoro-mp2-quiet-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return "(no temporary file)";
    ::unlink(path);
    const int saved1 = ::dup(1), saved2 = ::dup(2);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved1, 1);
    ::dup2(saved2, 2);
    ::close(saved1);
    ::close(saved2);
    std::string said;
    char buffer[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) said.append(buffer, size_t(n));
    ::close(fd);
    return said;
}

TEST(Mp2Quiet, EveryRefusalIsAResultAndAMessageNeverOutput) {
    Mp2Encoder enc;
    Mp2Instance inst;
    struct Refusal {
        Mp2Options options;
        int code;
        std::string message;
    };
    Mp2Options badModel = opts(44100, 128, 0);
    badModel.psychoModel = 5;
    const Refusal refusals[] = {
        {opts(11025, 64, 3), Mp2Encoder::kBadSampleRate, "SmpFrqIndex: 11025 is not a legal sample rate"},
        {opts(44100, 100, 0), Mp2Encoder::kBadSettings, "BitrateIndex: 100 (HEADER 1) is not a legal bitrate"},
        // 320 kbit/s exists for MPEG-1 only; 8 kbit/s for MPEG-2 only.
        {opts(22050, 320, 0), Mp2Encoder::kBadSettings, "BitrateIndex: 320 (HEADER 0) is not a legal bitrate"},
        {opts(44100, 8, 3), Mp2Encoder::kBadSettings, "BitrateIndex: 8 (HEADER 1) is not a legal bitrate"},
        // MPEG-1 Layer II has no 32 kbit/s stereo and no 384 kbit/s mono.
        {opts(44100, 32, 0), Mp2Encoder::kBadSettings, "BitrateIndex: 32 (HEADER 1) is not a legal bitrate"},
        {opts(44100, 384, 3), Mp2Encoder::kBadSettings, "BitrateIndex: 384 (HEADER 1) is not a legal bitrate"},
        {opts(44100, 128, 7), Mp2Encoder::kBadSettings, "Mode: 7 is not a channel mode"},
        {badModel, Mp2Encoder::kBadSettings, "Invalid Psycho Acoustic Model setting (5)"},
    };
    std::vector<int> codes;
    std::vector<std::string> messages;
    int tooMany = 0, badEncode = 0, shortBuffer = 0, badClose = 0, live = 0;
    std::string tooManyMessage;
    bool fftValid = true;
    int fftLog = 0;
    const std::string said = writtenToStandardStreams([&] {
        for (const Refusal& r : refusals) {
            codes.push_back(enc.createInstance(r.options, inst));
            messages.push_back(enc.lastMessage());
        }
        for (int i = 0; i < 10; ++i) enc.createInstance(opts(48000, 64, 3), inst);
        tooMany = enc.createInstance(opts(48000, 64, 3), inst);
        tooManyMessage = enc.lastMessage();
        uint8_t small[100];
        int produced = 0;
        const int16_t silence[2304] = {};
        badEncode = enc.encodeFrame(11, 2304, silence, small, sizeof small, produced);
        shortBuffer = enc.encodeFrame(0, 1152, silence, small, sizeof small, produced);
        badClose = enc.closeInstance(-1);
        live = enc.liveInstances();
        // The transform of the model refuses sizes it does not take.
        mp2enc::RealFft tooBig(26), negative(-1);
        fftValid = tooBig.valid() || negative.valid();
        fftLog = mp2enc::RealFft::log2Size(1000) + mp2enc::RealFft::log2Size(1L << 26);
    });
    EXPECT_EQ(said, "");
    for (size_t i = 0; i < std::size(refusals); ++i) {
        EXPECT_EQ(codes[i], refusals[i].code) << i;
        EXPECT_EQ(messages[i], refusals[i].message) << i;
    }
    EXPECT_EQ(tooMany, Mp2Encoder::kTooManyInstances);
    EXPECT_EQ(tooManyMessage, "ten encoder instances are in use");
    EXPECT_EQ(badEncode, Mp2Encoder::kBadInstance);
    EXPECT_EQ(shortBuffer, Mp2Encoder::kBufferTooSmall);
    EXPECT_EQ(badClose, Mp2Encoder::kBadInstance);
    EXPECT_EQ(live, 10);
    EXPECT_FALSE(fftValid);
    EXPECT_EQ(fftLog, -2);
}

// Every allocation an instance makes fails in turn: each time the instance
// is refused with kNoMemory, nothing of it stays, nothing is printed, and
// the encoder still makes and runs an instance afterwards. Under the
// sanitizer build a half-built instance would show as a leak or a bad free.
TEST(Mp2Quiet, RunningOutOfMemoryRefusesTheInstanceWhole) {
    Mp2Encoder enc;
    int refused = 0;
    int made = -1;
    std::vector<int> unexpected;
    const std::string said = writtenToStandardStreams([&] {
        for (long n = 0; n < 1000 && made < 0; ++n) {
            Mp2Instance inst;
            allocationsLeft = n;
            const int rc = enc.createInstance(opts(44100, 192, 1), inst);
            allocationsLeft = -1;
            if (rc == Mp2Encoder::kNoMemory && enc.liveInstances() == 0 && inst.number == -1 &&
                enc.lastMessage() == "not enough memory for an encoder instance")
                ++refused;
            else if (rc == Mp2Encoder::kOk)
                made = inst.number;
            else
                unexpected.push_back(int(n));
        }
    });
    EXPECT_EQ(said, "");
    EXPECT_TRUE(unexpected.empty()) << unexpected.size() << " allocations failed with another result";
    // The instance, two models, their state and transform tables: many allocations.
    EXPECT_GE(refused, 20);
    ASSERT_EQ(made, 0);
    std::vector<int16_t> tone(2304);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(8000 * ((i / 2) % 50 < 25 ? 1 : -1));
    std::vector<uint8_t> out(Mp2Encoder::kOutputBufferSize);
    int produced = 0;
    EXPECT_EQ(enc.encodeFrame(made, 2304, tone.data(), out.data(), out.size(), produced), Mp2Encoder::kOk);
    // 1152 x 192000 / 8 / 44100 = 626.9 bytes: 626, or 627 with the padding slot.
    EXPECT_TRUE(produced == 626 || produced == 627) << produced;
}

// The model itself: made whole or not at all.
TEST(Mp2Quiet, PsychoModelIsMadeWholeOrNotAtAll) {
    int failures = 0;
    bool made = false;
    float smr[32] = {};
    for (long n = 0; n < 1000 && !made; ++n) {
        allocationsLeft = n;
        try {
            mp2enc::PsychoModel2 model(48000);
            allocationsLeft = -1;
            const float silence[1152] = {};
            model.analyse(silence, smr);
            made = model.partitionCount() > 0;
        } catch (const std::bad_alloc&) {
            allocationsLeft = -1;
            ++failures;
        }
    }
    EXPECT_TRUE(made);
    EXPECT_GE(failures, 10);
    for (float v : smr) EXPECT_TRUE(std::isfinite(v));
}

}  // namespace
}  // namespace qoro::test
