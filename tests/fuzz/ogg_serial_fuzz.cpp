// libFuzzer harness for the stamp of an Ogg stream serial (client/ogg_serial):
// page checksums of the input are set right first (on odd sizes), so that
// the walk reaches past them. A file that is not one plain logical stream
// must stay byte for byte as it was; a stamped one keeps its size, carries
// the serial on every page, and each page's checksum is the one libogg
// computes. Our checksum must equal libogg's on every whole page.
//
//   bash scripts/fuzz.sh 300 ogg_serial_fuzz    (five minutes)
#include <ogg/ogg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "client/ogg_serial.h"
#include "fuzz_support.h"

namespace {

using qoro::fuzz::require;
using qoro::fuzz::ScratchFolder;

constexpr uint32_t kSerial = 0x5eed1234;

// Walks the whole pages from the start: calls 'visit' with each page's
// offset and length; stops at the first thing that is no whole page.
template <typename Visit>
void eachPage(std::vector<uint8_t>& b, Visit visit) {
    for (size_t pos = 0; pos + 27 <= b.size();) {
        if (b[pos] != 'O' || b[pos + 1] != 'g' || b[pos + 2] != 'g' || b[pos + 3] != 'S') return;
        const size_t segments = b[pos + 26];
        if (pos + 27 + segments > b.size()) return;
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += b[pos + 27 + i];
        if (pos + 27 + segments + body > b.size()) return;
        visit(pos, 27 + segments, body);
        pos += 27 + segments + body;
    }
}

// libogg's checksum of the page, set in place; returns it.
uint32_t liboggChecksum(std::vector<uint8_t>& b, size_t pos, size_t header, size_t body) {
    ogg_page page{};
    page.header = b.data() + pos;
    page.header_len = static_cast<long>(header);
    page.body = b.data() + pos + header;
    page.body_len = static_cast<long>(body);
    ogg_page_checksum_set(&page);
    return b[pos + 22] | b[pos + 23] << 8 | b[pos + 24] << 16 | static_cast<uint32_t>(b[pos + 25]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFolder folder("ogg-serial-fuzz");
    static const std::string path = folder.file("fuzz.opus");
    std::vector<uint8_t> input(data, data + size);
    eachPage(input, [&](size_t pos, size_t header, size_t body) {
        std::vector<uint8_t> copy(input);
        const uint32_t ours = qoro::client::oggPageCrc({copy.data() + pos, header + body});
        require(liboggChecksum(copy, pos, header, body) == ours);
        if (size % 2) liboggChecksum(input, pos, header, body);
    });
    ScratchFolder::write(path, input.data(), input.size());
    std::string cause;
    const auto result = qoro::client::stampOggSerial(path, kSerial, cause);
    std::vector<uint8_t> after = ScratchFolder::read(path);
    require(result != qoro::client::SerialStamp::Failed);
    if (result == qoro::client::SerialStamp::NotOneStream) {
        require(after == input && !cause.empty());
        return 0;
    }
    require(after.size() == input.size());
    size_t covered = 0;
    eachPage(after, [&](size_t pos, size_t header, size_t body) {
        const uint32_t serial = after[pos + 14] | after[pos + 15] << 8 | after[pos + 16] << 16 |
                                static_cast<uint32_t>(after[pos + 17]) << 24;
        require(serial == kSerial);
        std::vector<uint8_t> copy(after);
        require(liboggChecksum(copy, pos, header, body) ==
                (after[pos + 22] | after[pos + 23] << 8 | after[pos + 24] << 16 |
                 static_cast<uint32_t>(after[pos + 25]) << 24));
        covered = pos + header + body;
    });
    require(covered == after.size());
    return 0;
}
