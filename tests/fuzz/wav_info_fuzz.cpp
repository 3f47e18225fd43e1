// libFuzzer harness for the WAV tag code: the chunk walk that reads "LIST"
// "INFO", "DISP", "cue ", "LIST" "adtl" and "id3 " chunks, and the rewrite
// planned over the same bytes. Besides never crashing, a rewrite must give a
// valid RIFF form that reads back as written (INFO items set by id
// included), and writing the same again must change nothing.
//
//   bash scripts/fuzz.sh 300 wav_info_fuzz    (five minutes; the options are in the script)
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "tags/fields.h"
#include "tags/wav_info.h"

namespace tags = qoro::tags;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 3]} << 24);
}

using qoro::fuzz::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> file(data, size);
    tags::TagRecord record;
    tags::CueList cues;
    tags::WavChunks chunks;
    if (!tags::parseWavInfo(file, record, cues, &chunks)) return 0;

    tags::TagRecord want = record;
    want.title = "Fuzzed title";
    if (size % 3 == 0) want.artist.clear();
    if (size % 5 == 0) tags::setYear(want, 1999);
    tags::CueList wantCues = cues;
    if (size % 2 == 0) wantCues.insert({.position = 7, .label = "seven"});
    tags::TagChanges changes;
    changes.fields = {{"ITCH", "Fuzzed technician"}};
    // An item removed by its id; an id that is also a name of the field
    // map ("DATE") names the mapped field instead.
    if (!chunks.otherInfo.empty() && tags::isInfoItemId(chunks.otherInfo.front().id) &&
        chunks.otherInfo.front().id != "ITCH" && !tags::mappedField(chunks.otherInfo.front().id))
        changes.fields.push_back({chunks.otherInfo.front().id, ""});
    std::vector<uint8_t> out;
    if (tags::rewriteWavInfo(file, want, wantCues, out, changes)) return 0;

    require(out.size() >= 12 && le32(out, 4) == out.size() - 8);
    tags::TagRecord back;
    tags::CueList backCues;
    require(tags::parseWavInfo(out, back, backCues, nullptr));
    require(back == want);
    require(backCues.cues() == wantCues.cues());
    tags::WavChunks backChunks;
    tags::TagRecord unused;
    tags::CueList unusedCues;
    require(tags::parseWavInfo(out, unused, unusedCues, &backChunks));
    size_t technicians = 0;
    for (const auto& item : backChunks.otherInfo) {
        if (item.id == "ITCH") ++technicians, require(item.content == std::string("Fuzzed technician") + '\0');
        if (changes.fields.size() > 1) require(item.id != changes.fields[1].name);
    }
    require(technicians == 1 || backChunks.otherInfo.size() >= 4096);
    std::vector<uint8_t> again;
    require(!tags::rewriteWavInfo(out, want, wantCues, again));
    require(again == out);
    return 0;
}
