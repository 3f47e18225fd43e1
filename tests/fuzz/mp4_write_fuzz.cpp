// libFuzzer harness for the MP4 "ilst" writer's rewrite plan: the input as a
// file whose tag (if it reads whole) gets a new title (short, or long enough
// to make "moov" grow; "moov" asked first or not, by the input's size), the
// plan applied in memory. Besides "no crash, no read outside the input", it
// checks: a plan in place keeps the size and patches within the file, a new
// file's pieces copy ranges of the old one; the result reads back whole with
// the new title and every other item's bytes as they were; every chunk
// offset of every track ("stco", "co64") moved with the byte it points at;
// "moov" asked first and rebuilt lies before every "mdat".
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tags/fields.h"
#include "tags/mp4_tags.h"
#include "tags/mp4_write.h"

namespace tags = qoro::tags;
namespace mp4 = qoro::tags::mp4;

namespace {

using qoro::fuzz::require;
using Bytes = std::vector<uint8_t>;

uint64_t be(std::span<const uint8_t> b, size_t at, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | b[at + i];
    return v;
}

// The chunk offset tables of moov/trak/mdia/minf/stbl in [begin, end) of a
// file, in order, as far as the boxes can be read.
void chunkTables(std::span<const uint8_t> file, uint64_t begin, uint64_t end, int depth,
                 std::vector<std::vector<uint64_t>>& out) {
    static constexpr const char* kWay[] = {"trak", "mdia", "minf", "stbl"};
    for (uint64_t at = begin; at < end;) {
        mp4::BoxHeader h;
        if (mp4::readBoxHeader(file.subspan(at, end - at), end - at, h) != mp4::BoxFit::Ok) return;
        if (depth < 4 && h.is(kWay[depth])) chunkTables(file, at + h.headerSize, at + h.size, depth + 1, out);
        if (depth == 4 && (h.is("stco") || h.is("co64")) && h.size >= h.headerSize + 8) {
            const size_t width = h.is("co64") ? 8 : 4;
            const uint64_t body = at + h.headerSize;
            const uint64_t count = be(file, body + 4, 4);
            std::vector<uint64_t> table;
            for (uint64_t i = 0; i < count && body + 8 + (i + 1) * width <= at + h.size; ++i)
                table.push_back(be(file, body + 8 + i * width, width));
            out.push_back(std::move(table));
        }
        at += h.size;
    }
}

std::vector<std::vector<uint64_t>> chunkTables(std::span<const uint8_t> file, const mp4::Tag& tag) {
    std::vector<std::vector<uint64_t>> out;
    const tags::ByteRange& moov = tag.layout.moov;
    mp4::BoxHeader h;
    if (mp4::readBoxHeader(file.subspan(moov.offset), moov.size, h) == mp4::BoxFit::Ok)
        chunkTables(file, moov.offset + h.headerSize, moov.end(), 0, out);
    return out;
}

// The file after the plan; where each byte of the old file went (nullopt: dropped).
Bytes applied(std::span<const uint8_t> old, const mp4::Plan& plan, std::vector<uint64_t>& at) {
    Bytes now;
    if (plan.inPlace) {
        now.assign(old.begin(), old.end());
        for (const mp4::Patch& p : plan.patches) {
            require(!p.bytes.empty() && p.offset <= old.size() && p.bytes.size() <= old.size() - p.offset);
            std::copy(p.bytes.begin(), p.bytes.end(), now.begin() + static_cast<std::ptrdiff_t>(p.offset));
        }
        for (uint64_t i = 0; i < old.size(); ++i) at[i] = i;
        return now;
    }
    for (const mp4::Piece& p : plan.pieces) {
        if (p.copy.empty()) {
            now.insert(now.end(), p.bytes.begin(), p.bytes.end());
            continue;
        }
        require(p.copy.end() <= old.size() && p.copy.end() > p.copy.offset);
        for (uint64_t i = p.copy.offset; i < p.copy.end(); ++i) at[i] = now.size() + (i - p.copy.offset);
        now.insert(now.end(), old.begin() + static_cast<std::ptrdiff_t>(p.copy.offset),
                   old.begin() + static_cast<std::ptrdiff_t>(p.copy.end()));
    }
    return now;
}

// The items but the title as stored (a size of 0, "to the end of the
// list", as the size it stands for: the writer puts that down).
std::vector<Bytes> othersOf(const std::vector<mp4::Item>& items, std::span<const uint8_t> file) {
    std::vector<Bytes> out;
    for (const mp4::Item& i : items) {
        if (i.key == "\u00A9nam") continue;
        Bytes& b = out.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(i.at.offset),
                                    file.begin() + static_cast<std::ptrdiff_t>(i.at.end()));
        if (be(b, 0, 4) == 0)
            for (size_t k = 0; k < 4; ++k) b[k] = static_cast<uint8_t>(b.size() >> (24 - 8 * k));
    }
    return out;
}

bool moovBeforeData(std::span<const uint8_t> file) {
    for (uint64_t at = 0; at < file.size();) {
        mp4::BoxHeader h;
        if (mp4::readBoxHeader(file.subspan(at), file.size() - at, h) != mp4::BoxFit::Ok) return false;
        if (h.is("moov")) return true;
        if (h.is("mdat")) return false;
        at += h.size;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const auto reader = qoro::fuzz::memoryReader(bytes);
    auto tag = mp4::readTag(reader, size);
    if (!tag || tag->damaged) return 0;
    mp4::keepStored(*tag, reader);

    tags::TagRecord record;
    tags::TagExtras extras;
    mp4::applyTo(*tag, record, extras);
    static const std::string kTitles[] = {"T", "A title of some length", std::string(2000, 'L')};
    const std::string& title = kTitles[size % 3];
    record.title = title;
    const mp4::RewriteOptions options{.moovFirst = size % 2 == 1, .padding = size % 5 ? 64u : 0u};
    const auto plan = mp4::planRewrite(reader, size, *tag, mp4::serializeIlst(mp4::updated(*tag, record, {})), options);
    if (!plan) return 0;

    std::vector<uint64_t> at(size, UINT64_MAX);
    const Bytes now = applied(bytes, *plan, at);
    require(now.size() == plan->newSize(size));
    if (plan->inPlace) require(now.size() == size);
    const auto again = mp4::readTag(qoro::fuzz::memoryReader(now), now.size());
    require(again && !again->damaged);
    tags::TagRecord read;
    tags::TagExtras readExtras;
    mp4::applyTo(*again, read, readExtras);
    require(read.title == title);
    require(othersOf(again->items, now) == othersOf(tag->items, bytes));
    if (options.moovFirst && !plan->inPlace) require(moovBeforeData(now));

    // Every chunk offset moved with the byte it points at.
    const auto before = chunkTables(bytes, *tag), after = chunkTables(now, *again);
    require(before.size() == after.size());
    for (size_t t = 0; t < before.size(); ++t) {
        require(before[t].size() == after[t].size());
        for (size_t i = 0; i < before[t].size(); ++i) {
            const uint64_t o = before[t][i], n = after[t][i];
            if (plan->inPlace || o >= size) {
                if (plan->inPlace) require(n == o);
                continue;
            }
            require(at[o] == n && n < now.size() && now[n] == bytes[o]);
        }
    }
    return 0;
}
