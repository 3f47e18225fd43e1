// libFuzzer harness for the FLAC metadata walk of the information component:
// the blocks, "STREAMINFO", the comment block, the picture blocks, and the
// rewrite of the comment and picture blocks. The input is written to a
// RAM-backed folder, read, and written with a changed title, a field and a
// picture change chosen by its size. A refused write must leave the file as
// it was; a write that succeeds must read back with what it set and the
// same stream facts, and be repeatable without any further change.
//
//   bash scripts/fuzz.sh 300 flac_tags_fuzz    (five minutes; the options are in the script)
#include <cstdint>
#include <string>
#include <vector>

#include "tag_rewrite_fuzz.h"
#include "readers/readers.h"

namespace {

using qoro::fuzz::require;
using qoro::fuzz::ScratchFolder;

bool sameStream(const qoro::audioinfo::Facts& a, const qoro::audioinfo::Facts& b) {
    return a.frequency == b.frequency && a.channels == b.channels && a.bitsPerSample == b.bitsPerSample &&
           a.samples == b.samples && a.duration == b.duration && a.description == b.description;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFolder folder("flac-tags-fuzz");
    static const std::string path = folder.file("fuzz.flac");
    const std::vector<uint8_t> input(data, data + size);
    ScratchFolder::write(path, input.data(), input.size());

    qoro::audioinfo::Facts facts;
    qoro::tags::TagRecord tags;
    qoro::tags::TagExtras extras;
    const bool read = qoro::audioinfo::readFlac(path, facts, tags, extras);
    require(!read || qoro::audioinfo::probeFlac(path) == 1);

    qoro::tags::TagRecord record = tags;
    record.title = "Fuzzed title";
    const qoro::tags::TagChanges changes = qoro::fuzz::tagChangesFor(size);
    if (qoro::audioinfo::writeFlacTags(path, record, changes)) {
        require(ScratchFolder::read(path) == input);
        return 0;
    }
    require(read);
    qoro::audioinfo::Facts facts2;
    qoro::tags::TagRecord tags2;
    qoro::tags::TagExtras extras2;
    require(qoro::audioinfo::readFlac(path, facts2, tags2, extras2));
    require(sameStream(facts, facts2));
    require(tags2.title == "Fuzzed title");
    qoro::fuzz::requireChangesRead(extras2, changes, size);

    const std::vector<uint8_t> once = ScratchFolder::read(path);
    require(!qoro::audioinfo::writeFlacTags(path, record, changes));
    require(ScratchFolder::read(path) == once);
    return 0;
}
