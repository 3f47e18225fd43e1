// RIFF file layer: buffered I/O against an in-memory model, chunk creation
// with size patching and padding, chunk walks over files from ffmpeg, and
// hostile files.
#include "riff/riff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "test_support.h"

namespace riff = qoro::riff;
using namespace qoro::test;
using riff::Status;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::string id(const std::vector<uint8_t>& b, size_t at) { return std::string(b.begin() + at, b.begin() + at + 4); }

// Writes a 16-bit PCM WAV through the RIFF layer, with an odd-sized chunk
// between "fmt " and "data".
void writeWithLayer(const fs::path& file, int rate, int channels, const std::vector<int16_t>& samples,
                    size_t blockBytes, size_t bufferSize = 0) {
    riff::File f;
    ASSERT_EQ(f.open(file.string(), riff::Mode::Create, bufferSize), Status::Ok);
    riff::Chunk form;
    form.formType = riff::fourcc("WAVE");
    ASSERT_EQ(f.createChunk(form, riff::Create::Riff), Status::Ok);
    riff::Chunk fmt;
    fmt.id = riff::fourcc("fmt ");
    ASSERT_EQ(f.createChunk(fmt), Status::Ok);
    uint8_t wfx[16];
    auto put16 = [&](int at, uint16_t v) {
        wfx[at] = v & 0xFF;
        wfx[at + 1] = v >> 8;
    };
    auto put32 = [&](int at, uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    put16(0, 1);
    put16(2, static_cast<uint16_t>(channels));
    put32(4, static_cast<uint32_t>(rate));
    put32(8, static_cast<uint32_t>(rate * channels * 2));
    put16(12, static_cast<uint16_t>(channels * 2));
    put16(14, 16);
    ASSERT_EQ(f.write(wfx, sizeof wfx), 16);
    ASSERT_EQ(f.ascend(fmt), Status::Ok);
    riff::Chunk odd;
    odd.id = riff::fourcc("abcd");
    ASSERT_EQ(f.createChunk(odd), Status::Ok);
    ASSERT_EQ(f.write("xyz", 3), 3);
    ASSERT_EQ(f.ascend(odd), Status::Ok);
    EXPECT_EQ(odd.size, 3u);
    riff::Chunk data;
    data.id = riff::fourcc("data");
    ASSERT_EQ(f.createChunk(data), Status::Ok);
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    size_t total = samples.size() * 2;
    for (size_t at = 0; at < total; at += blockBytes) {
        size_t n = std::min(blockBytes, total - at);
        ASSERT_EQ(f.write(bytes + at, n), static_cast<int64_t>(n));
    }
    ASSERT_EQ(f.ascend(data), Status::Ok);
    ASSERT_EQ(f.ascend(form), Status::Ok);
    ASSERT_EQ(f.close(), Status::Ok);
}

// Walks every chunk of a RIFF file, descending into forms, reading every
// chunk's content; returns how many chunks it saw.
int walk(riff::File& f, const riff::Chunk* parent, int depth) {
    int seen = 0;
    riff::Chunk ck;
    while (f.descend(ck, parent, riff::Find::Next) == Status::Ok) {
        ++seen;
        if (parent && !ck.endsWithin(*parent)) break;
        if (ck.isForm() && depth < 4) {
            seen += walk(f, &ck, depth + 1);
        } else {
            uint8_t content[256];
            f.read(content, std::min<size_t>(ck.size, sizeof content));
        }
        if (f.ascend(ck) != Status::Ok) break;
        if (seen > 100000) break;
    }
    return seen;
}

}  // namespace

TEST(RiffFourCC, StringsAndCodes) {
    EXPECT_EQ(riff::stringToFourCC("WAVE"), riff::fourcc("WAVE"));
    EXPECT_EQ(riff::stringToFourCC("fmt"), riff::fourcc("fmt "));
    EXPECT_EQ(riff::stringToFourCC("cue"), riff::fourcc("cue "));
    EXPECT_EQ(riff::stringToFourCC("inam", true), riff::fourcc("INAM"));
    EXPECT_EQ(riff::stringToFourCC("toolong"), riff::fourcc("tool"));
    EXPECT_EQ(riff::stringToFourCC(""), riff::fourcc("    "));
    EXPECT_EQ(riff::fourCCToString(riff::fourcc("LIST")), "LIST");
    EXPECT_EQ(riff::fourcc("RIFF"), 0x46464952u);  // as stored: 'R' first
}

TEST(RiffFile, CreatedFilePatchesSizesPadsAndOpensInFfprobe) {
    TempDir dir;
    auto samples = testSignal(8000, 1, 1001);  // odd byte count? no: 2002 bytes, even
    fs::path file = dir / "made.wav";
    writeWithLayer(file, 8000, 1, samples, 1600);
    auto b = readBytes(file);
    // RIFF(12) fmt(8+16) abcd(8+3+pad) data(8+2002)
    ASSERT_EQ(b.size(), 12u + 24 + 12 + 8 + 2002);
    EXPECT_EQ(id(b, 0), "RIFF");
    EXPECT_EQ(le32(b, 4), b.size() - 8);
    EXPECT_EQ(id(b, 8), "WAVE");
    EXPECT_EQ(id(b, 12), "fmt ");
    EXPECT_EQ(le32(b, 16), 16u);
    EXPECT_EQ(id(b, 36), "abcd");
    EXPECT_EQ(le32(b, 40), 3u);
    EXPECT_EQ(b[47], 0);  // pad byte
    EXPECT_EQ(id(b, 48), "data");
    EXPECT_EQ(le32(b, 52), 2002u);
    EXPECT_EQ(0, std::memcmp(b.data() + 56, samples.data(), 2002));

    if (requireTool("ffprobe")) {
        auto r =
            run("ffprobe -v error -count_packets -show_entries stream=sample_rate,channels,duration_ts -of csv=p=0 " +
                shellQuote(file.string()));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find("8000,1,1001"), std::string::npos) << r.output;
    }
}

TEST(RiffFile, OddDataChunkGetsPadAndRiffSizeCountsIt) {
    TempDir dir;
    fs::path file = dir / "odd.bin";
    riff::File f;
    ASSERT_EQ(f.open(file.string(), riff::Mode::Create), Status::Ok);
    riff::Chunk form;
    form.formType = riff::fourcc("TEST");
    ASSERT_EQ(f.createChunk(form, riff::Create::Riff), Status::Ok);
    riff::Chunk list;
    list.formType = riff::fourcc("INFO");
    ASSERT_EQ(f.createChunk(list, riff::Create::List), Status::Ok);
    riff::Chunk a;
    a.id = riff::fourcc("INAM");
    ASSERT_EQ(f.createChunk(a), Status::Ok);
    ASSERT_EQ(f.write("abcde", 5), 5);
    ASSERT_EQ(f.ascend(a), Status::Ok);
    EXPECT_EQ(f.position(), 12u + 12 + 8 + 6);
    ASSERT_EQ(f.ascend(list), Status::Ok);
    EXPECT_EQ(list.size, 4u + 8 + 6);
    ASSERT_EQ(f.ascend(form), Status::Ok);
    ASSERT_EQ(f.close(), Status::Ok);
    auto b = readBytes(file);
    ASSERT_EQ(b.size(), 38u);
    EXPECT_EQ(le32(b, 4), 30u);
    EXPECT_EQ(id(b, 12), "LIST");
    EXPECT_EQ(le32(b, 16), 18u);
    EXPECT_EQ(id(b, 20), "INFO");
    EXPECT_EQ(le32(b, 28), 5u);
    EXPECT_EQ(b[37], 0);

    // Read back: descend finds the list by type and the sub-chunk by id.
    ASSERT_EQ(f.open(file.string(), riff::Mode::Read), Status::Ok);
    riff::Chunk r;
    r.formType = riff::fourcc("TEST");
    ASSERT_EQ(f.descend(r, nullptr, riff::Find::Riff), Status::Ok);
    EXPECT_EQ(r.dataOffset, 8u);
    EXPECT_EQ(f.position(), 12u);
    riff::Chunk l;
    l.formType = riff::fourcc("INFO");
    ASSERT_EQ(f.descend(l, &r, riff::Find::List), Status::Ok);
    riff::Chunk s;
    s.id = riff::fourcc("INAM");
    ASSERT_EQ(f.descend(s, &l, riff::Find::Chunk), Status::Ok);
    char text[6] = {};
    EXPECT_EQ(f.read(text, 5), 5);
    EXPECT_STREQ(text, "abcde");
    ASSERT_EQ(f.ascend(s), Status::Ok);
    EXPECT_EQ(f.position(), 38u);  // past the pad byte
    riff::Chunk none;
    EXPECT_EQ(f.descend(none, &l, riff::Find::Next), Status::ChunkNotFound);
    // Read-only: no writing, no creating, no patching.
    EXPECT_EQ(f.write("x", 1), -1);
    riff::Chunk c;
    EXPECT_EQ(f.createChunk(c), Status::CannotWrite);
    c.dirty = true;
    EXPECT_EQ(f.ascend(c), Status::CannotWrite);
}

TEST(RiffFile, FindsChunksAfterListInFfmpegWav) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    TempDir dir;
    auto samples = testSignal(22050, 2, 22050);
    writeWav16(dir / "plain.wav", 22050, 2, samples);
    auto r =
        run("ffmpeg -v error -y -i " + shellQuote((dir / "plain.wav").string()) +
            " -metadata title=Hello -metadata artist=Someone -c copy " + shellQuote((dir / "tagged.wav").string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;

    riff::File f;
    ASSERT_EQ(f.open((dir / "tagged.wav").string(), riff::Mode::Read), Status::Ok);
    riff::Chunk form;
    form.formType = riff::fourcc("WAVE");
    ASSERT_EQ(f.descend(form, nullptr, riff::Find::Riff), Status::Ok);
    EXPECT_EQ(form.dataEnd(), f.size());
    std::vector<std::string> order;
    bool sawInfo = false;
    std::vector<int16_t> data;
    riff::Chunk ck;
    while (f.descend(ck, &form) == Status::Ok && ck.endsWithin(form)) {
        order.push_back(riff::fourCCToString(ck.id));
        if (ck.id == riff::kList && ck.formType == riff::fourcc("INFO")) {
            riff::Chunk sub;
            while (f.descend(sub, &ck) == Status::Ok && sub.endsWithin(ck)) {
                std::string text(sub.size, '\0');
                ASSERT_TRUE(f.readExact(text.data(), sub.size));
                text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
                if (sub.id == riff::fourcc("INAM")) {
                    EXPECT_EQ(text, "Hello");
                    sawInfo = true;
                }
                if (sub.id == riff::fourcc("IART")) {
                    EXPECT_EQ(text, "Someone");
                }
                ASSERT_EQ(f.ascend(sub), Status::Ok);
            }
        }
        if (ck.id == riff::fourcc("data")) {
            data.resize(ck.size / 2);
            ASSERT_TRUE(f.readExact(data.data(), ck.size));
        }
        ASSERT_EQ(f.ascend(ck), Status::Ok);
    }
    EXPECT_TRUE(sawInfo);
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ(order.front(), "fmt ");
    EXPECT_EQ(order.back(), "data");
    auto d = compare(samples, data);
    EXPECT_EQ(d.compared, samples.size());
    EXPECT_EQ(d.maxAbs, 0);
}

TEST(RiffFile, InPlaceRewriteAfterDataKeepsAudioAndPatchesRiff) {
    TempDir dir;
    auto samples = testSignal(8000, 1, 800);
    fs::path file = dir / "w.wav";
    writeWav16(file, 8000, 1, samples);
    // Append junk after "data" that the rewrite overwrites in part.
    auto before = readBytes(file);
    before.insert(before.end(), 100, 0xEE);
    writeBytes(file, before);

    riff::File f;
    ASSERT_EQ(f.open(file.string(), riff::Mode::ReadWrite), Status::Ok);
    riff::Chunk form;
    form.formType = riff::fourcc("WAVE");
    ASSERT_EQ(f.descend(form, nullptr, riff::Find::Riff), Status::Ok);
    riff::Chunk data;
    data.id = riff::fourcc("data");
    ASSERT_EQ(f.descend(data, &form, riff::Find::Chunk), Status::Ok);
    ASSERT_EQ(f.ascend(data), Status::Ok);
    riff::Chunk list;
    list.formType = riff::fourcc("INFO");
    ASSERT_EQ(f.createChunk(list, riff::Create::List), Status::Ok);
    riff::Chunk nam;
    nam.id = riff::fourcc("INAM");
    ASSERT_EQ(f.createChunk(nam), Status::Ok);
    ASSERT_EQ(f.write("Album", 6), 6);
    ASSERT_EQ(f.ascend(nam), Status::Ok);
    ASSERT_EQ(f.ascend(list), Status::Ok);
    form.dirty = true;
    ASSERT_EQ(f.ascend(form), Status::Ok);
    ASSERT_EQ(f.close(), Status::Ok);

    auto after = readBytes(file);
    ASSERT_EQ(after.size(), before.size());  // not shortened
    EXPECT_TRUE(std::equal(before.begin() + 8, before.begin() + 44 + 1600, after.begin() + 8));
    EXPECT_EQ(le32(after, 4), 4u + 24 + 8 + 1600 + 12 + 8 + 6);
    EXPECT_EQ(id(after, 44 + 1600), "LIST");
    EXPECT_EQ(after[44 + 1600 + 26], 0xEE);  // old bytes beyond the new end stay
}

// Random reads, writes and seeks through a tiny buffer against a byte model.
TEST(RiffFile, BufferedIoMatchesModel) {
    TempDir dir;
    fs::path file = dir / "io.bin";
    std::vector<uint8_t> model(3000);
    std::mt19937 rng(7);
    for (auto& b : model) b = static_cast<uint8_t>(rng());
    writeBytes(file, model);
    for (size_t bufferSize : {size_t(16), size_t(61), size_t(4096)}) {
        riff::File f;
        ASSERT_EQ(f.open(file.string(), riff::Mode::ReadWrite, bufferSize), Status::Ok);
        for (int op = 0; op < 3000; ++op) {
            size_t pos = rng() % (model.size() + 40);
            size_t len = rng() % 200;
            ASSERT_EQ(f.seek(static_cast<int64_t>(pos)), static_cast<int64_t>(pos));
            if (rng() % 2) {
                std::vector<uint8_t> chunk(len);
                for (auto& b : chunk) b = static_cast<uint8_t>(rng());
                ASSERT_EQ(f.write(chunk.data(), len), static_cast<int64_t>(len));
                if (pos + len > model.size()) model.resize(pos + len, 0);
                std::copy(chunk.begin(), chunk.end(), model.begin() + pos);
            } else {
                std::vector<uint8_t> got(len);
                int64_t n = f.read(got.data(), len);
                size_t expect = pos >= model.size() ? 0 : std::min(len, model.size() - pos);
                ASSERT_EQ(n, static_cast<int64_t>(expect)) << "op " << op;
                ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, model.begin() + pos)) << "op " << op;
                EXPECT_EQ(f.position(), pos + expect);
            }
            ASSERT_EQ(f.size(), model.size());
        }
        ASSERT_EQ(f.close(), Status::Ok);
        EXPECT_EQ(readBytes(file), model) << "buffer " << bufferSize;
    }
}

TEST(RiffFile, SeekOriginsAndBadOpens) {
    TempDir dir;
    riff::File f;
    EXPECT_EQ(f.open((dir / "missing.wav").string(), riff::Mode::Read), Status::CannotOpen);
    EXPECT_EQ(f.open(dir.path().string(), riff::Mode::Read), Status::CannotOpen);
    EXPECT_EQ(f.read(nullptr, 0), -1);  // not open
    riff::Chunk ck;
    EXPECT_EQ(f.descend(ck), Status::NotOpen);
    writeBytes(dir / "ten", std::vector<uint8_t>(10, 1));
    ASSERT_EQ(f.open((dir / "ten").string(), riff::Mode::Read), Status::Ok);
    EXPECT_EQ(f.seek(-3, riff::Origin::End), 7);
    EXPECT_EQ(f.seek(2, riff::Origin::Current), 9);
    EXPECT_EQ(f.seek(-20, riff::Origin::Current), -1);
    EXPECT_EQ(f.position(), 9u);
    uint8_t b[4];
    EXPECT_EQ(f.read(b, 4), 1);
    EXPECT_EQ(f.read(b, 4), 0);
    // Fewer than 8 bytes left: no chunk header.
    EXPECT_EQ(f.seek(3), 3);
    EXPECT_EQ(f.descend(ck), Status::ChunkNotFound);
    EXPECT_EQ(f.seek(2), 2);
    ASSERT_EQ(f.descend(ck), Status::Ok);
    EXPECT_EQ(ck.id, 0x01010101u);
    EXPECT_EQ(ck.dataOffset, 10u);
    riff::File moved = std::move(f);
    EXPECT_FALSE(f.isOpen());
    EXPECT_TRUE(moved.isOpen());
    EXPECT_EQ(moved.close(), Status::Ok);
}

TEST(RiffHostile, LyingSizesTruncationAndMutationsNeverCrash) {
    TempDir dir;
    auto samples = testSignal(8000, 2, 400);
    fs::path good = dir / "good.wav";
    writeWithLayer(good, 8000, 2, samples, 333);
    auto base = readBytes(good);

    // RIFF size far beyond the file, data size far beyond: walks end.
    {
        auto b = base;
        b[4] = b[5] = b[6] = b[7] = 0xFF;
        b[52] = b[53] = b[54] = b[55] = 0xFF;
        writeBytes(dir / "lie.wav", b);
        riff::File f;
        ASSERT_EQ(f.open((dir / "lie.wav").string(), riff::Mode::Read), Status::Ok);
        EXPECT_EQ(walk(f, nullptr, 0), 4);  // RIFF, fmt, abcd, data
    }
    // A sub-chunk that reaches beyond its form is seen by endsWithin().
    {
        auto b = base;
        b[40] = 0x00;
        b[41] = 0x10;  // "abcd" size 4096
        writeBytes(dir / "over.wav", b);
        riff::File f;
        ASSERT_EQ(f.open((dir / "over.wav").string(), riff::Mode::Read), Status::Ok);
        riff::Chunk form;
        form.formType = riff::fourcc("WAVE");
        ASSERT_EQ(f.descend(form, nullptr, riff::Find::Riff), Status::Ok);
        riff::Chunk ck;
        ck.id = riff::fourcc("abcd");
        ASSERT_EQ(f.descend(ck, &form, riff::Find::Chunk), Status::Ok);
        EXPECT_FALSE(ck.endsWithin(form));
        riff::Chunk data;
        data.id = riff::fourcc("data");
        ASSERT_EQ(f.ascend(ck), Status::Ok);
        EXPECT_EQ(f.descend(data, &form, riff::Find::Chunk), Status::ChunkNotFound);
    }
    // Every truncation of the file.
    for (size_t len = 0; len < base.size(); len += 7) {
        writeBytes(dir / "cut.wav", std::vector<uint8_t>(base.begin(), base.begin() + len));
        riff::File f;
        ASSERT_EQ(f.open((dir / "cut.wav").string(), riff::Mode::Read, 512), Status::Ok);
        walk(f, nullptr, 0);
    }
    // Random byte mutations, mostly in the headers.
    std::mt19937 rng(1234);
    for (int round = 0; round < 300; ++round) {
        auto b = base;
        int edits = 1 + rng() % 8;
        for (int e = 0; e < edits; ++e) {
            size_t at = (rng() % 4 == 0) ? rng() % b.size() : rng() % 60;
            b[at] = static_cast<uint8_t>(rng() % 3 == 0 ? 0xFF : rng());
        }
        if (rng() % 5 == 0) b.resize(rng() % b.size());
        writeBytes(dir / "fuzz.wav", b);
        riff::File f;
        ASSERT_EQ(f.open((dir / "fuzz.wav").string(), riff::Mode::Read, 512), Status::Ok);
        int seen = walk(f, nullptr, 0);
        EXPECT_LE(seen, static_cast<int>(b.size()));
    }
}

// --- where a WAVE file's samples lie, whatever its sizes say ----------------

namespace {

// A WAVE file image built chunk by chunk, every size field written as given.
struct WaveImage {
    std::vector<uint8_t> b;

    void tag(const char* s) { b.insert(b.end(), s, s + 4); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v));
        u32(static_cast<uint32_t>(v >> 32));
    }
    WaveImage& form(const char* id, uint32_t size) {
        tag(id);
        u32(size);
        tag("WAVE");
        return *this;
    }
    // A chunk with `content`, its size field `size` (the content's length
    // when left at -1), and a pad byte after odd content unless told not to.
    WaveImage& chunk(const char* id, const std::vector<uint8_t>& content, int64_t size = -1, bool pad = true) {
        tag(id);
        u32(size < 0 ? static_cast<uint32_t>(content.size()) : static_cast<uint32_t>(size));
        b.insert(b.end(), content.begin(), content.end());
        if (pad && (content.size() & 1u)) b.push_back(0);
        return *this;
    }
    WaveImage& fmt() {
        // 16-bit stereo PCM at 8000 Hz
        return chunk("fmt ", {1, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x00, 0x7D, 0, 0, 4, 0, 16, 0});
    }
    WaveImage& ds64(uint64_t riffSize, uint64_t dataSize) {
        tag("ds64");
        u32(28);
        u64(riffSize);
        u64(dataSize);
        u64(dataSize / 4);
        u32(0);
        return *this;
    }
    // The RIFF size that makes the form end where the image ends now.
    WaveImage& closeForm() {
        const uint32_t size = static_cast<uint32_t>(b.size() - 8);
        for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        return *this;
    }
    size_t find(const char* id) const {
        auto at = std::search(b.begin() + 12, b.end(), id, id + 4);
        return static_cast<size_t>(at - b.begin());
    }
};

std::vector<uint8_t> bytesOf(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

std::vector<uint8_t> infoList() {
    return {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 5, 0, 0, 0, 'L', 'a', 'v', 'f', 0, 0};
}

riff::WaveLayout locate(const fs::path& file, Status* status = nullptr) {
    riff::File f;
    EXPECT_EQ(f.open(file.string(), riff::Mode::Read, 512), Status::Ok);
    riff::WaveLayout w;
    const Status s = riff::locateWave(f, w);
    if (status)
        *status = s;
    else
        EXPECT_EQ(s, Status::Ok);
    return w;
}

}  // namespace

TEST(RiffWave, SamplesRunAsFarAsTheFileHoldsThem) {
    TempDir dir;
    const auto path = dir / "w.wav";
    struct Expect {
        uint64_t dataSize;
        bool toEnd, last, stale;
    };
    auto check = [&](const WaveImage& img, Expect e, const char* what) {
        SCOPED_TRACE(what);
        writeBytes(path, img.b);
        const riff::WaveLayout w = locate(path);
        ASSERT_TRUE(w.hasFormat);
        ASSERT_TRUE(w.hasData);
        EXPECT_EQ(w.format.dataOffset, img.find("fmt ") + 8);
        EXPECT_EQ(w.data.dataOffset, img.find("data") + 8);
        EXPECT_EQ(w.dataSize, e.dataSize);
        EXPECT_EQ(w.dataToEnd, e.toEnd);
        EXPECT_EQ(w.dataIsLast, e.last);
        EXPECT_EQ(w.sizesStale, e.stale);
        EXPECT_LE(w.data.dataOffset + w.dataSize, img.b.size());
    };

    {
        WaveImage img;
        img.form("RIFF", 0).fmt().chunk("data", bytesOf(800)).closeForm();
        check(img, {800, false, true, false}, "sizes as written by a seekable writer");
    }
    {
        WaveImage img;  // ffmpeg to a pipe: both sizes 0xFFFFFFFF, a "LIST" first
        img.form("RIFF", 0xFFFFFFFF).fmt().chunk("LIST", infoList()).chunk("data", bytesOf(1001), 0xFFFFFFFF, false);
        check(img, {1001, true, true, true}, "sizes never filled in");
    }
    {
        WaveImage img;  // sox to a pipe: "data" 0xFFFFFFFC, RIFF size 36 + that, wrapped to 32
        img.form("RIFF", 32).fmt().chunk("data", bytesOf(800), 0xFFFFFFFC);
        check(img, {800, true, true, true}, "RIFF size wrapped around 4 GiB");
    }
    {
        WaveImage img;  // the form ends within the "LIST" before "data"
        img.form("RIFF", 40).fmt().chunk("LIST", infoList()).chunk("data", bytesOf(600)).chunk("LIST", infoList());
        check(img, {600, false, false, true}, "form ends before its data chunk");
    }
    {
        WaveImage img;  // a download cut short: 501 of 800 bytes
        img.form("RIFF", 0).fmt().chunk("data", bytesOf(800)).closeForm();
        img.b.resize(img.find("data") + 8 + 501);
        check(img, {501, true, true, true}, "cut short");
    }
    {
        WaveImage img;  // RIFF size right, "data" promising more than there is
        img.form("RIFF", 0).fmt().chunk("data", bytesOf(640), 64000).closeForm();
        check(img, {640, true, true, true}, "data size beyond the file");
    }
    {
        WaveImage img;  // bytes after the form are not part of the file's chunks
        img.form("RIFF", 0).fmt().chunk("data", bytesOf(400)).closeForm();
        img.chunk("junk", bytesOf(100));
        check(img, {400, false, false, false}, "trailing bytes after the form");
    }
    {
        WaveImage img;  // unknown size followed by a "LIST": the "LIST" is read as samples
        img.form("RIFF", 0xFFFFFFFF).fmt().chunk("data", bytesOf(400), 0xFFFFFFFF).chunk("LIST", infoList());
        check(img, {400 + 8 + 18, true, true, true}, "unknown size, chunk after");
    }
    {
        WaveImage img;  // odd size, the file ends before the pad byte; RIFF size without it
        img.form("RIFF", 0).fmt().chunk("data", bytesOf(401), -1, false).closeForm();
        check(img, {401, false, true, false}, "pad byte missing");
    }
    {
        WaveImage img;  // the same, with a RIFF size counting the missing pad byte
        img.form("RIFF", 0).fmt().chunk("data", bytesOf(401), -1, false).closeForm();
        img.b[4] += 1;
        check(img, {401, false, true, true}, "pad byte counted, missing");
    }
    {
        WaveImage img;  // "data" then "LIST" with every size right
        img.form("RIFF", 0).fmt().chunk("data", bytesOf(333)).chunk("LIST", infoList()).closeForm();
        check(img, {333, false, false, false}, "LIST after data");
    }
    {
        WaveImage img;  // RF64 with its "ds64" filled in
        img.form("RF64", 0xFFFFFFFF).ds64(4 + 36 + 24 + 8 + 800 + 8 + 18, 800).fmt();
        img.chunk("data", bytesOf(800), 0xFFFFFFFF).chunk("LIST", infoList());
        check(img, {800, false, false, false}, "RF64");
    }
    {
        WaveImage img;  // RF64 written to a pipe: "ds64" left at zero
        img.form("RF64", 0xFFFFFFFF).ds64(0, 0).fmt().chunk("data", bytesOf(800), 0xFFFFFFFF);
        check(img, {800, true, true, true}, "RF64 sizes never filled in");
    }
    {
        WaveImage img;  // RF64 whose "ds64" promises more than a cut file holds
        img.form("RF64", 0xFFFFFFFF).ds64(1u << 20, 1u << 19).fmt().chunk("data", bytesOf(800), 0xFFFFFFFF);
        check(img, {800, true, true, true}, "RF64 cut short");
    }
}

TEST(RiffWave, WhatIsNotThereIsReported) {
    TempDir dir;
    const auto path = dir / "w.wav";
    Status s = Status::Ok;
    {
        WaveImage img;  // RF64 without "ds64"
        img.form("RF64", 0xFFFFFFFF).fmt().chunk("data", bytesOf(80), 0xFFFFFFFF);
        writeBytes(path, img.b);
        locate(path, &s);
        EXPECT_EQ(s, Status::ChunkNotFound);
    }
    {
        WaveImage img;  // "ds64" too short for its two sizes
        img.form("RF64", 0xFFFFFFFF).chunk("ds64", bytesOf(8)).fmt().chunk("data", bytesOf(80), 0xFFFFFFFF);
        writeBytes(path, img.b);
        locate(path, &s);
        EXPECT_EQ(s, Status::ChunkNotFound);
    }
    {
        WaveImage img;  // no "data": reported, not a failure
        img.form("RIFF", 0).fmt().chunk("LIST", infoList()).closeForm();
        writeBytes(path, img.b);
        const auto w = locate(path);
        EXPECT_TRUE(w.hasFormat);
        EXPECT_FALSE(w.hasData);
    }
    {
        WaveImage img;  // a form of another type; then nothing
        img.tag("RIFF");
        img.u32(4);
        img.tag("AVI ");
        writeBytes(path, img.b);
        locate(path, &s);
        EXPECT_EQ(s, Status::ChunkNotFound);
    }
    {
        WaveImage img;  // "fmt " after "data", a second "data", "fact": the first of each
        img.form("RIFF", 0).chunk("fact", {1, 2, 3, 4}).chunk("data", bytesOf(10)).fmt();
        img.chunk("data", bytesOf(20)).closeForm();
        writeBytes(path, img.b);
        const auto w = locate(path);
        ASSERT_TRUE(w.hasData && w.hasFormat && w.hasFact);
        EXPECT_EQ(w.dataSize, 10u);
        EXPECT_EQ(w.data.dataOffset, 12u + 12 + 8);
        EXPECT_EQ(w.fact.dataOffset, 20u);
        EXPECT_GT(w.format.dataOffset, w.data.dataOffset);
        EXPECT_FALSE(w.dataIsLast);
    }
    {
        riff::File closed;
        riff::WaveLayout w;
        EXPECT_EQ(riff::locateWave(closed, w), Status::NotOpen);
    }
}

TEST(RiffWave, DamagedHeadersNeverPointBeyondTheFile) {
    TempDir dir;
    const auto path = dir / "w.wav";
    std::vector<std::vector<uint8_t>> seeds;
    {
        WaveImage a;
        a.form("RIFF", 0xFFFFFFFF).fmt().chunk("LIST", infoList()).chunk("data", bytesOf(300), 0xFFFFFFFF);
        seeds.push_back(a.b);
        WaveImage b;
        b.form("RF64", 0xFFFFFFFF)
            .ds64(500, 300)
            .fmt()
            .chunk("data", bytesOf(300), 0xFFFFFFFF)
            .chunk("LIST", infoList());
        seeds.push_back(b.b);
        WaveImage c;
        c.form("RIFF", 0).fmt().chunk("data", bytesOf(301)).chunk("LIST", infoList()).closeForm();
        seeds.push_back(c.b);
    }
    std::mt19937 rng(99);
    for (int round = 0; round < 1500; ++round) {
        auto b = seeds[round % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rng() % std::min<size_t>(b.size(), 100);
            b[at] = static_cast<uint8_t>(rng() % 3 == 0 ? 0xFF : rng());
        }
        if (rng() % 4 == 0) b.resize(rng() % b.size());
        writeBytes(path, b);
        riff::File f;
        ASSERT_EQ(f.open(path.string(), riff::Mode::Read, 64), Status::Ok);
        riff::WaveLayout w;
        if (riff::locateWave(f, w) != Status::Ok) continue;
        if (w.hasFormat) {
            EXPECT_LE(w.format.dataEnd(), b.size());
        }
        if (w.hasFact) {
            EXPECT_LE(w.fact.dataEnd(), b.size());
        }
        if (w.hasData) {
            ASSERT_LE(w.data.dataOffset, b.size());
            EXPECT_LE(w.data.dataOffset + w.dataSize, b.size());
            if (w.dataToEnd) {
                EXPECT_EQ(w.data.dataOffset + w.dataSize, b.size());
                EXPECT_TRUE(w.dataIsLast && w.sizesStale);
            }
        }
    }
}

// AIFF's "FORM" walk: sizes are big-endian in a file sox made, and a FORM
// written through the same layer (odd chunk padded, sizes patched) is one
// sox reads back sample for sample.
TEST(RiffForm, BigEndianSizesReadAndWritten) {
    if (!requireTool("sox")) return;
    TempDir dir;
    const fs::path made = dir / "sox.aiff";
    ASSERT_EQ(run("sox -n -r 8000 -c 2 -b 16 " + shellQuote(made.string()) + " synth 0.125 sine 440").exitCode, 0);
    {
        riff::File f;
        ASSERT_EQ(f.open(made.string(), riff::Mode::Read), Status::Ok);
        riff::Chunk form;
        form.formType = riff::fourcc("AIFF");
        ASSERT_EQ(f.descend(form, nullptr, riff::Find::Form), Status::Ok);
        EXPECT_TRUE(form.bigEndian);
        EXPECT_EQ(form.dataEnd(), f.size());
        riff::Chunk ssnd;
        ssnd.id = riff::fourcc("SSND");
        ASSERT_EQ(f.descend(ssnd, &form, riff::Find::Chunk), Status::Ok);
        EXPECT_EQ(ssnd.size, 8u + 1000 * 2 * 2);
        EXPECT_TRUE(ssnd.endsWithin(form));
    }

    const fs::path ours = dir / "ours.aiff";
    const uint8_t comm[18] = {0, 1, 0, 0, 0, 3, 0, 16, 0x40, 0x0B, 0xFA, 0, 0, 0, 0, 0, 0, 0};  // mono, 3 frames, 8000 Hz
    const uint8_t ssnd[8 + 6] = {0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0xFF, 0x00, 0x7F, 0xFF};
    {
        riff::File f;
        ASSERT_EQ(f.open(ours.string(), riff::Mode::Create), Status::Ok);
        riff::Chunk form;
        form.formType = riff::fourcc("AIFF");
        ASSERT_EQ(f.createChunk(form, riff::Create::Form), Status::Ok);
        for (auto [code, bytes, n] : {std::tuple{riff::fourcc("COMM"), comm, sizeof comm},
                                      std::tuple{riff::fourcc("NAME"), reinterpret_cast<const uint8_t*>("odd"), size_t{3}},
                                      std::tuple{riff::fourcc("SSND"), ssnd, sizeof ssnd}}) {
            riff::Chunk ck;
            ck.id = code;
            ck.bigEndian = true;
            ASSERT_EQ(f.createChunk(ck), Status::Ok);
            ASSERT_TRUE(f.writeExact(bytes, n));
            ASSERT_EQ(f.ascend(ck), Status::Ok);
        }
        ASSERT_EQ(f.ascend(form), Status::Ok);
        ASSERT_EQ(f.close(), Status::Ok);
    }
    const auto b = readBytes(ours);
    ASSERT_EQ(b.size(), 12u + 26 + 12 + 22);
    EXPECT_EQ(b[7], b.size() - 8);  // big-endian size, low byte last
    EXPECT_EQ(b[49], 0);            // pad byte after "odd"
    const auto r = run("sox " + shellQuote(ours.string()) + " -t s16 -e signed -L -");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, std::string("\x00\x01\x00\xFF\xFF\x7F", 6));
}
