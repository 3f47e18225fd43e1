// libFuzzer harness for the Vorbis comment rewrite: page framing, header
// packets, the comment packet. Page checksums in the input are set right
// first (on odd sizes), so that changed bytes reach past the page checks.
// The file is written to a RAM-backed folder and rewritten with a changed
// title; a failure must leave it byte for byte as it was, and a success must
// be repeatable without any further change.
//
//   bash scripts/fuzz.sh 300 ogg_comments_fuzz    (five minutes; the options are in the script)
#include <ogg/ogg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "readers/ogg_comments.h"

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
    if (qoro::audioinfo::writeOggComments(path, record)) {
        require(contents(path) == input);
    } else {
        const std::vector<uint8_t> once = contents(path);
        require(!qoro::audioinfo::writeOggComments(path, record));
        require(contents(path) == once);
    }
    return 0;
}
