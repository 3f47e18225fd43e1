// qoro-libav.so loaded as the components load it, over files made with ffmpeg
// the way users make them and the beets sample files: facts against ffprobe,
// exact frame counts, samples equal to ffmpeg's own decode, exact seeks, and
// damaged files refused or read up to the damage.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "media/qoro_media.h"
#include "test_support.h"

namespace qt = qoro::test;

namespace {

const qoro_media_api* plugin() {
    static const qoro_media_api* api = [] {
        void* h = dlopen(qt::binPath("qoro-libav.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) return static_cast<const qoro_media_api*>(nullptr);
        auto entry = reinterpret_cast<qoro_media_entry_fn>(dlsym(h, QORO_MEDIA_ENTRY));
        return entry ? entry() : nullptr;
    }();
    return api;
}

struct Closer {
    void operator()(qoro_media* m) const { plugin()->close(m); }
};
using Media = std::unique_ptr<qoro_media, Closer>;

Media openMedia(const qt::fs::path& file, std::string* why = nullptr) {
    char error[256] = "unset";
    Media m(plugin()->open(file.c_str(), error, sizeof error));
    if (why) *why = error;
    return m;
}

size_t sampleBytes(int kind) { return kind == QORO_MEDIA_S16 ? 2 : 4; }

// Everything read() gives as `kind`, in reads of an odd size.
std::vector<uint8_t> readAll(qoro_media* m, int kind, int* failures = nullptr) {
    const size_t frame = sampleBytes(kind) * plugin()->facts(m)->channels;
    std::vector<uint8_t> all, buf(frame * 1000);
    for (int guard = 0; guard < 100000; ++guard) {
        const long n = plugin()->read(m, kind, buf.data(), 1000);
        if (n == 0) break;
        if (n < 0) {
            if (failures) ++*failures;
            if (failures && *failures > 50) break;
            continue;
        }
        all.insert(all.end(), buf.begin(), buf.begin() + static_cast<long>(n * frame));
    }
    return all;
}

const char* ffFormat(int kind) { return kind == QORO_MEDIA_S16 ? "s16le" : kind == QORO_MEDIA_S32 ? "s32le" : "f32le"; }

std::vector<uint8_t> ffmpegDecode(const qt::fs::path& file, int kind, const qt::fs::path& scratch) {
    const auto r = qt::run("ffmpeg -v error -y -i " + qt::shellQuote(file) + " -f " + ffFormat(kind) + " " +
                           qt::shellQuote(scratch));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return qt::readBytes(scratch);
}

std::map<std::string, std::string> ffprobe(const qt::fs::path& file) {
    const auto r = qt::run("ffprobe -v error -select_streams a:0 -show_entries "
                           "stream=codec_name,sample_rate,channels,bits_per_raw_sample,duration_ts -of default=nw=1 " +
                           qt::shellQuote(file));
    std::map<std::string, std::string> out;
    size_t at = 0;
    while (at < r.output.size()) {
        const size_t end = r.output.find('\n', at);
        const std::string line = r.output.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (const size_t eq = line.find('='); eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return out;
}

// Largest difference of two float streams over their common length.
double maxFloatDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    const size_t n = std::min(a.size(), b.size()) / 4;
    double worst = 0;
    for (size_t i = 0; i < n; ++i) {
        float x, y;
        std::memcpy(&x, &a[i * 4], 4);
        std::memcpy(&y, &b[i * 4], 4);
        worst = std::max(worst, static_cast<double>(std::fabs(x - y)));
    }
    return worst;
}

// The fixtures: sources made with sox, encoded with ffmpeg, once per run.
class PluginLibav : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new qt::TempDir;
        auto sox = [](const std::string& format, const std::string& name, const std::string& effects) {
            qt::run("sox -n " + format + " " + qt::shellQuote((*dir_ / name).string()) + " " + effects);
        };
        sox("-r 44100 -c 2 -b 16", "s16.wav", "synth 0.6 sine 440 sine 660 gain -3");
        sox("-r 48000 -c 1 -b 16", "m48.wav", "synth 0.5 pinknoise gain -4");
        sox("-r 48000 -c 2 -b 24", "s24.wav", "synth 0.4 whitenoise gain -6");
        sox("-r 48000 -c 6 -b 16", "six.wav", "synth 0.3 whitenoise gain -8");
        // Louder than full scale once decoded: float-to-integer clipping.
        sox("-r 44100 -c 2 -b 16", "loud.wav", "synth 0.3 square 220 gain -0.1");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static qt::fs::path make(const std::string& source, const std::string& args, const std::string& name) {
        const qt::fs::path out = *dir_ / name;
        if (!qt::fs::exists(out)) {
            const auto r = qt::run("ffmpeg -v error -y -i " + qt::shellQuote((*dir_ / source).string()) + " " + args +
                                   " " + qt::shellQuote(out.string()));
            EXPECT_EQ(r.exitCode, 0) << name << ": " << r.output;
        }
        return out;
    }
    static qt::fs::path path(const std::string& name) { return *dir_ / name; }
    static inline qt::TempDir* dir_ = nullptr;
};

struct Kind {
    const char* name;
    const char* source;
    const char* args;
    const char* codec;  // ffprobe's codec_name
    bool lossless;
    int bits;           // the bits facts give, 0 for lossy
    int sample;         // facts.sample
    // MP4 AAC ends where its edit list says (ffprobe's duration_ts), not
    // with the last packet's padding that ffmpeg's decode keeps.
    bool editList;
};

const Kind kKinds[] = {
    {"aac.m4a", "s16.wav", "-c:a aac -b:a 128k", "aac", false, 0, QORO_MEDIA_F32, true},
    {"aac48.m4a", "m48.wav", "-c:a aac -b:a 64k", "aac", false, 0, QORO_MEDIA_F32, true},
    {"aac51.m4a", "six.wav", "-c:a aac", "aac", false, 0, QORO_MEDIA_F32, true},
    {"alac.m4a", "s16.wav", "-c:a alac", "alac", true, 16, QORO_MEDIA_S16, false},
    {"alac24.m4a", "s24.wav", "-c:a alac", "alac", true, 24, QORO_MEDIA_S32, false},
    {"mono.wv", "m48.wav", "-c:a wavpack", "wavpack", true, 16, QORO_MEDIA_S16, false},
    {"stereo.tta", "s16.wav", "-c:a tta", "tta", true, 16, QORO_MEDIA_S16, false},
    {"flac.oga", "s16.wav", "-c:a flac -f ogg", "flac", true, 16, QORO_MEDIA_S16, false},
    {"v1.wma", "s16.wav", "-c:a wmav1", "wmav1", false, 0, QORO_MEDIA_F32, false},
    {"v2.wma", "m48.wav", "-c:a wmav2 -b:a 64k", "wmav2", false, 0, QORO_MEDIA_F32, false},
    {"opus.webm", "s16.wav", "-c:a libopus", "opus", false, 0, QORO_MEDIA_F32, false},
    {"opus.mkv", "m48.wav", "-c:a libopus -b:a 48k", "opus", false, 0, QORO_MEDIA_F32, false},
    {"vorbis.mkv", "s16.wav", "-c:a libvorbis", "vorbis", false, 0, QORO_MEDIA_F32, false},
    {"ac3.ac3", "six.wav", "-c:a ac3", "ac3", false, 0, QORO_MEDIA_F32, false},
    {"eac3.eac3", "s16.wav", "-c:a eac3", "eac3", false, 0, QORO_MEDIA_F32, false},
    {"ac344.ac3", "s16.wav", "-c:a ac3", "ac3", false, 0, QORO_MEDIA_F32, false},
    {"adts.aac", "m48.wav", "-c:a aac -f adts", "aac", false, 0, QORO_MEDIA_F32, false},
};

// Facts against ffprobe, the exact frame count, and the samples against
// ffmpeg's decode; lossless files against their source.
TEST_F(PluginLibav, FactsFramesAndSamplesMatchFfmpeg) {
    QORO_REQUIRE_TOOLS("ffmpeg", "ffprobe", "sox");
    ASSERT_NE(plugin(), nullptr) << "bin/qoro-libav.so did not load";
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        const qt::fs::path file = make(k.source, k.args, k.name);
        std::string why;
        Media m = openMedia(file, &why);
        ASSERT_TRUE(m) << why;
        const qoro_media_facts& f = *plugin()->facts(m.get());
        auto probe = ffprobe(file);
        EXPECT_EQ(std::to_string(f.rate), probe["sample_rate"]);
        EXPECT_EQ(std::to_string(f.channels), probe["channels"]);
        EXPECT_STREQ(f.codec, k.codec);
        EXPECT_EQ(f.lossless, k.lossless ? 1 : 0);
        EXPECT_EQ(f.bits, k.bits);
        EXPECT_EQ(f.sample, k.sample);
        if (k.lossless) {
            EXPECT_EQ(std::to_string(f.bits), probe["bits_per_raw_sample"]);
        }
        // ASF names no speakers for stereo.
        if (f.channels == 2) {
            EXPECT_EQ(f.channel_mask, std::string(f.container) == "asf" ? 0u : 3u);
        }
        if (std::string(k.codec) == "aac") {
            EXPECT_STREQ(f.profile, "LC");
        }
        EXPECT_NEAR(f.duration, static_cast<double>(f.frames) / f.rate, 1e-9);

        const std::vector<uint8_t> ours = readAll(m.get(), f.sample);
        const std::vector<uint8_t> ref = ffmpegDecode(file, f.sample, path("ref.raw"));
        const size_t frameBytes = sampleBytes(f.sample) * f.channels;
        const int64_t refFrames = static_cast<int64_t>(ref.size() / frameBytes);
        const int64_t expected = k.editList ? std::stoll(probe["duration_ts"]) : refFrames;
        if (k.editList) {
            EXPECT_LT(expected, refFrames);
        }
        EXPECT_EQ(f.frames, expected);
        ASSERT_EQ(static_cast<int64_t>(ours.size() / frameBytes), f.frames);
        ASSERT_LE(ours.size(), ref.size());
        EXPECT_TRUE(std::equal(ours.begin(), ours.end(), ref.begin())) << "samples differ from ffmpeg's decode";
        if (k.lossless) {
            const int sourceKind = k.bits > 16 ? QORO_MEDIA_S32 : QORO_MEDIA_S16;
            EXPECT_EQ(ours, ffmpegDecode(path(k.source), sourceKind, path("src.raw"))) << "lossless decode differs";
        }
    }
}

// Every sample kind from every decoder sample format equals ffmpeg's
// conversion: float to integer (rounding, clipping of a too-loud AAC), 16-
// and 24-bit integers to float and to 32 bits.
TEST_F(PluginLibav, ConversionsMatchFfmpeg) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    const qt::fs::path files[] = {make("loud.wav", "-c:a aac -b:a 192k", "loud.m4a"), make("s16.wav", "-c:a tta", "c.tta"),
                                  make("s24.wav", "-c:a alac", "c24.m4a"), make("m48.wav", "-c:a ac3", "c.ac3")};
    for (const auto& file : files)
        for (int kind : {QORO_MEDIA_S16, QORO_MEDIA_S32, QORO_MEDIA_F32}) {
            SCOPED_TRACE(file.filename().string() + " " + ffFormat(kind));
            Media m = openMedia(file);
            ASSERT_TRUE(m);
            const std::vector<uint8_t> ours = readAll(m.get(), kind);
            const std::vector<uint8_t> ref = ffmpegDecode(file, kind, path("conv.raw"));
            ASSERT_FALSE(ours.empty());
            ASSERT_LE(ours.size(), ref.size());
            EXPECT_TRUE(std::equal(ours.begin(), ours.end(), ref.begin()));
        }
}

// A seek then a read gives the samples of the decode from the start at that
// frame: exactly for lossless codecs and those without decoder state beyond
// a frame; AAC and AC-3 decoders keep noise generators whose state after a
// seek differs, so those agree within a small error.
TEST_F(PluginLibav, SeeksAreExact) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    struct Case {
        const char* name;
        double tolerance;
    };
    const Case cases[] = {{"alac.m4a", 0},  {"mono.wv", 0},    {"stereo.tta", 0}, {"flac.oga", 0},  {"opus.mkv", 0},
                          {"vorbis.mkv", 0}, {"v1.wma", 0},     {"aac.m4a", 0.02}, {"adts.aac", 0.02}, {"ac3.ac3", 0.02}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Kind* kind = nullptr;
        for (const Kind& k : kKinds)
            if (std::string(k.name) == c.name) kind = &k;
        ASSERT_NE(kind, nullptr);
        const qt::fs::path file = make(kind->source, kind->args, kind->name);
        Media m = openMedia(file);
        ASSERT_TRUE(m);
        const qoro_media_facts f = *plugin()->facts(m.get());
        const int kindOut = f.lossless ? f.sample : QORO_MEDIA_F32;
        const std::vector<uint8_t> all = readAll(m.get(), kindOut);
        const size_t frameBytes = sampleBytes(kindOut) * f.channels;
        for (int64_t target : {f.frames - 1, f.frames / 2 + 1, int64_t{4097}, int64_t{1}, int64_t{0}, f.frames}) {
            ASSERT_EQ(plugin()->seek(m.get(), target), 0) << plugin()->error(m.get());
            const std::vector<uint8_t> rest = readAll(m.get(), kindOut);
            ASSERT_EQ(rest.size(), all.size() - static_cast<size_t>(target) * frameBytes) << "at " << target;
            const std::vector<uint8_t> expect(all.begin() + static_cast<long>(target * frameBytes), all.end());
            if (c.tolerance == 0) {
                EXPECT_EQ(rest, expect) << "at " << target;
            } else {
                EXPECT_LE(maxFloatDiff(rest, expect), c.tolerance) << "at " << target;
            }
        }
        EXPECT_EQ(plugin()->seek(m.get(), f.frames + 1), -1);
        EXPECT_STRNE(plugin()->error(m.get()), "");
    }
}

// The beets sample files: iTunes AAC with iTunSMPB (44100 frames, not the
// 44992 ffmpeg's decode keeps), ALAC, Monkey's Audio, WavPack, DSF; their
// tags and samples.
TEST_F(PluginLibav, BeetsFiles) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    struct Case {
        const char* file;
        const char* codec;
        int64_t frames;
    };
    const Case cases[] = {{"full.m4a", "aac", 44100},      {"full.alac.m4a", "alac", 44100}, {"full.ape", "ape", 44100},
                          {"full.wv", "wavpack", 44100},   {"full.dsf", "dsd_lsbf_planar", -2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const qt::fs::path file = qt::testdata(std::string("beets/") + c.file);
        std::string why;
        Media m = openMedia(file, &why);
        ASSERT_TRUE(m) << why;
        const qoro_media_facts& f = *plugin()->facts(m.get());
        EXPECT_STREQ(f.codec, c.codec);
        std::map<std::string, std::string> tags;
        const char *key, *value;
        // APEv2 keeps its keys' case ("Title"); the others are lower case.
        for (int i = 0; plugin()->tag(m.get(), i, &key, &value); ++i) {
            std::string lower(key);
            for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            tags[lower] = value;
        }
        for (const char* wanted : {"title", "artist", "album"}) EXPECT_FALSE(tags[wanted].empty()) << wanted;
        const std::vector<uint8_t> ours = readAll(m.get(), f.sample);
        const std::vector<uint8_t> ref = ffmpegDecode(file, f.sample, path("beets.raw"));
        const size_t frameBytes = sampleBytes(f.sample) * f.channels;
        // DSD: the decode's own count (the rate is the DSD rate / 8).
        const int64_t expected = c.frames == -2 ? static_cast<int64_t>(ref.size() / frameBytes) : c.frames;
        if (c.frames == -2) {
            EXPECT_EQ(f.rate, 5644800 / 8);
        }
        EXPECT_EQ(f.frames, expected);
        ASSERT_EQ(static_cast<int64_t>(ours.size() / frameBytes), expected);
        EXPECT_TRUE(std::equal(ours.begin(), ours.end(), ref.begin()));
    }
}

// Cover art and tags as ffmpeg writes them into an M4A.
TEST_F(PluginLibav, PictureAndTags) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    const qt::fs::path png = path("cover.png");
    ASSERT_EQ(qt::run("ffmpeg -v error -y -f lavfi -i color=c=red:s=32x32 -frames:v 1 " + qt::shellQuote(png)).exitCode, 0);
    const qt::fs::path file = path("cover.m4a");
    const auto r = qt::run("ffmpeg -v error -y -i " + qt::shellQuote(path("s16.wav")) + " -i " + qt::shellQuote(png) +
                           " -map 0 -map 1 -c:a aac -c:v copy -disposition:v attached_pic -metadata title=Blue\\ Hour"
                           " -metadata artist=Testers " + qt::shellQuote(file));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    Media m = openMedia(file);
    ASSERT_TRUE(m);
    const uint8_t* data = nullptr;
    size_t bytes = 0;
    const char* mime = nullptr;
    ASSERT_EQ(plugin()->picture(m.get(), 0, &data, &bytes, &mime), 1);
    EXPECT_STREQ(mime, "image/png");
    EXPECT_EQ(std::vector<uint8_t>(data, data + bytes), qt::readBytes(png));
    EXPECT_EQ(plugin()->picture(m.get(), 1, &data, &bytes, &mime), 0);
    std::map<std::string, std::string> tags;
    const char *key, *value;
    for (int i = 0; plugin()->tag(m.get(), i, &key, &value); ++i) tags[key] = value;
    EXPECT_EQ(tags["title"], "Blue Hour");
    EXPECT_EQ(tags["artist"], "Testers");
    // The picture stream is not audio: the samples are the audio's alone.
    EXPECT_EQ(plugin()->facts(m.get())->channels, 2);
    EXPECT_GT(readAll(m.get(), QORO_MEDIA_F32).size(), 0u);
}

// Files the plug-in must refuse with a cause, and damaged ones it reads up
// to the damage, without crashing or giving more than it announced.
TEST_F(PluginLibav, DamagedAndForeignFiles) {
    QORO_REQUIRE_TOOLS("ffmpeg", "sox");
    std::vector<uint8_t> garbage(20000);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    qt::writeBytes(path("garbage.m4a"), garbage);
    qt::writeBytes(path("empty.wv"), {});
    // Real files of kinds that hold no audio the plug-in can give: a WMA
    // ffmpeg itself refuses, a Musepack SV8 header without audio, an image.
    for (const qt::fs::path& file : {qt::testdata("beets/full.wma"), qt::testdata("mpc/sv8_header.mpc"), path("garbage.m4a"),
                                     path("empty.wv"), path("cover.png"), path("no-such-file.m4a"), *dir_ / ""}) {
        SCOPED_TRACE(file.string());
        std::string why;
        Media m = openMedia(file, &why);
        EXPECT_FALSE(m);
        EXPECT_FALSE(why.empty());
        EXPECT_NE(why, "unset");
    }
    // Truncated and overwritten files: opened or refused; opened, they give
    // at most what they announce and end.
    const std::vector<uint8_t> aac = qt::readBytes(make("s16.wav", "-c:a aac -b:a 128k", "aac.m4a"));
    const std::vector<uint8_t> wv = qt::readBytes(make("m48.wav", "-c:a wavpack", "mono.wv"));
    const std::vector<uint8_t> fast = qt::readBytes(make("s16.wav", "-c:a aac -movflags +faststart", "fast.m4a"));
    std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged;
    damaged.emplace_back("cut.m4a", std::vector<uint8_t>(aac.begin(), aac.begin() + aac.size() * 2 / 3));
    damaged.emplace_back("cutfast.m4a", std::vector<uint8_t>(fast.begin(), fast.begin() + fast.size() / 2));
    damaged.emplace_back("cut.wv", std::vector<uint8_t>(wv.begin(), wv.begin() + wv.size() / 2));
    auto smashed = fast;
    for (size_t i = smashed.size() / 2; i < smashed.size() / 2 + 2000 && i < smashed.size(); ++i) smashed[i] ^= 0x5A;
    damaged.emplace_back("smashed.m4a", smashed);
    // Inputs that once broke the plug-in: a damaged first packet that lost
    // its cause, a frame without samples behind it, a tag item claiming 1.6 GB.
    for (const char* name : {"repro-first-packet-cause", "repro-frame-without-data", "repro-huge-tag-alloc"})
        damaged.emplace_back(name, qt::readBytes(qt::fs::path(QORO_SOURCE_DIR) / "tests/fuzz/regressions/media_probe_fuzz" / name));
    for (const auto& [name, bytes] : damaged) {
        SCOPED_TRACE(name);
        qt::writeBytes(path(name), bytes);
        std::string why;
        Media m = openMedia(path(name), &why);
        if (!m) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        const qoro_media_facts& f = *plugin()->facts(m.get());
        int failures = 0;
        const auto all = readAll(m.get(), QORO_MEDIA_F32, &failures);
        if (failures) {
            EXPECT_STRNE(plugin()->error(m.get()), "");
        }
        if (f.frames >= 0) {
            EXPECT_LE(all.size(), static_cast<size_t>(f.frames) * 4 * f.channels);
        }
        EXPECT_LE(failures, 50);
    }
}

}  // namespace
