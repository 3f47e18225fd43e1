// libFuzzer harness for the comment rewrites of Ogg files: page framing,
// header packets, the comment packet, of Ogg Vorbis and of Ogg Opus
// ("OpusHead", "OpusTags", the last granule position). Page checksums in the
// input are set right first (on odd sizes), so that changed bytes reach past
// the page checks. The file is written to a RAM-backed folder and rewritten
// as Vorbis and, from the same bytes again, as Opus, with a changed title, a
// field and a picture change chosen by the size; a failure must leave it
// byte for byte as it was, and a success must be repeatable without any
// further change. An Opus file that is rewritten must read back with what
// was set and the same length.
//
//   bash scripts/fuzz.sh 300 ogg_comments_fuzz    (five minutes; the options are in the script)
#include <ogg/ogg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "readers/ogg_comments.h"
#include "readers/readers.h"

namespace {

using qoro::fuzz::require;
using qoro::fuzz::ScratchFolder;
std::vector<uint8_t> contents(const std::string& path) { return ScratchFolder::read(path); }

// Sets the checksum of every page that stands whole in the bytes.
void fixChecksums(std::vector<uint8_t>& b) {
    for (size_t pos = 0; pos + 27 <= b.size();) {
        if (b[pos] != 'O' || b[pos + 1] != 'g' || b[pos + 2] != 'g' || b[pos + 3] != 'S') {
            ++pos;
            continue;
        }
        const size_t segments = b[pos + 26];
        if (pos + 27 + segments > b.size()) break;
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += b[pos + 27 + i];
        if (pos + 27 + segments + body > b.size()) break;
        ogg_page page{};
        page.header = b.data() + pos;
        page.header_len = static_cast<long>(27 + segments);
        page.body = b.data() + pos + 27 + segments;
        page.body_len = static_cast<long>(body);
        ogg_page_checksum_set(&page);
        pos += 27 + segments + body;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFolder folder("ogg-comments-fuzz");
    static const std::string path = folder.file("fuzz.ogg");
    std::vector<uint8_t> input(data, data + size);
    if (size % 2) fixChecksums(input);
    ScratchFolder::write(path, input.data(), input.size());
    qoro::tags::TagRecord record;
    record.title = "Fuzzed title";
    record.year = size % 4 == 1 ? 1999 : 0;
    qoro::tags::TagChanges changes;
    changes.fields = {{"FUZZ", size % 3 ? "value" : ""}};
    if (size % 5 == 1) changes.pictures = {{3, "image/png", "front", {0x89, 'P', 'N', 'G', 1, 2, 3}}};
    if (size % 5 == 2) changes.pictures = {{3, "", "", {}}};
    if (qoro::audioinfo::writeOggComments(path, record, changes)) {
        require(contents(path) == input);
    } else {
        const std::vector<uint8_t> once = contents(path);
        require(!qoro::audioinfo::writeOggComments(path, record, changes));
        require(contents(path) == once);
    }

    ScratchFolder::write(path, input.data(), input.size());
    qoro::audioinfo::Facts facts;
    qoro::tags::TagRecord tags;
    qoro::tags::TagExtras extras;
    const bool read = qoro::audioinfo::readOpus(path, facts, tags, extras);
    require(!read || qoro::audioinfo::probeOpus(path) == 1);
    if (qoro::audioinfo::writeOpusTags(path, record, changes)) {
        require(contents(path) == input);
        return 0;
    }
    require(read);
    qoro::audioinfo::Facts facts2;
    qoro::tags::TagRecord tags2;
    qoro::tags::TagExtras extras2;
    require(qoro::audioinfo::readOpus(path, facts2, tags2, extras2));
    require(tags2.title == "Fuzzed title" && facts2.channels == facts.channels);
    // The length survives unless the input's last page was no Opus page
    // at all, which the rewrite may leave behind the new header pages.
    require(facts2.samples == facts.samples || facts.samples == 0);
    const std::vector<uint8_t> once = contents(path);
    require(!qoro::audioinfo::writeOpusTags(path, record, changes));
    require(contents(path) == once);
    return 0;
}
