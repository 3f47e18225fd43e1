// libFuzzer harness for the AIFF reader of the information component: the
// FORM walk, "COMM", "SSND", the text chunks, the "ID3 " chunk, the probe,
// and the rewrite of the tag chunks. The input is written to a RAM-backed
// folder, read, and written with a changed title, a field and a picture
// change chosen by its size. A refused write must leave the file as it was;
// a write that succeeds must read back with what it set and the same facts,
// and writing what it reads back must change nothing.
//
//   bash scripts/fuzz.sh 300 aiff_tags_fuzz    (five minutes; the options are in the script)
#include <cstdint>
#include <string>
#include <vector>

#include "tag_rewrite_fuzz.h"
#include "readers/aiff_reader.h"

namespace {

using qoro::fuzz::require;
using qoro::fuzz::ScratchFolder;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFolder folder("aiff-tags-fuzz");
    static const std::string path = folder.file("fuzz.aiff");
    const std::vector<uint8_t> input(data, data + size);
    ScratchFolder::write(path, input.data(), input.size());

    qoro::audioinfo::Facts facts;
    qoro::tags::TagRecord tags;
    qoro::tags::TagExtras extras;
    const bool read = qoro::audioinfo::readAiff(path, facts, tags, extras);
    const int probe = qoro::audioinfo::probeAiff(path);
    require(probe == 0 || probe == 1);
    require(!read || probe == 1);

    qoro::tags::TagRecord record = tags;
    record.title = "Fuzzed title";
    const qoro::tags::TagChanges changes = qoro::fuzz::tagChangesFor(size);
    if (qoro::audioinfo::writeAiffTags(path, record, changes)) {
        require(ScratchFolder::read(path) == input);
        return 0;
    }
    require(qoro::audioinfo::probeAiff(path) == 1);
    qoro::audioinfo::Facts facts2;
    qoro::tags::TagRecord tags2;
    qoro::tags::TagExtras extras2;
    // A file whose samples are compressed is written but not read.
    require(qoro::audioinfo::readAiff(path, facts2, tags2, extras2) == read);
    if (read) {
        facts2.size = facts.size;
        require(facts2 == facts);
        require(tags2.title == "Fuzzed title");
        qoro::fuzz::requireChangesRead(extras2, changes, size);
    }

    // Writing what the file now holds, with the same changes, changes
    // nothing: what reading gives, or (a file whose samples are not read)
    // the record just written, which may have cleared fields the file held.
    const std::vector<uint8_t> once = ScratchFolder::read(path);
    require(!qoro::audioinfo::writeAiffTags(path, read ? tags2 : record, changes));
    require(ScratchFolder::read(path) == once);
    return 0;
}
