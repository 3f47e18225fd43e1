// RIFF "INFO" items beyond the properties: read as fields named by their
// chunk id, and set, replaced and removed by name on write, as ffprobe and
// our own chunk lister see the file afterwards.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "readers/readers.h"
#include "riff_test_util.h"
#include "tags/wav_info.h"

namespace qoro::tags {
namespace {

using namespace qoro::test;
using namespace qoro::test::riffutil;

// ffprobe's format tags ("IKEY" -> "kw"; ffprobe shows "ITCH" as "encoded_by").
std::map<std::string, std::string> ffprobeTags(const fs::path& file) {
    const auto r =
        run("ffprobe -v error -show_entries format_tags -of default=noprint_wrappers=1 " + shellQuote(file.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::map<std::string, std::string> tags;
    size_t at = 0;
    while (at < r.output.size()) {
        const size_t end = r.output.find('\n', at);
        const std::string line = r.output.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? r.output.size() : end + 1;
        if (line.rfind("TAG:", 0) != 0) continue;
        const size_t eq = line.find('=');
        tags[line.substr(4, eq - 4)] = line.substr(eq + 1);
    }
    return tags;
}

// The INFO items of a file as our own lister walks them: (id, text up to its zero).
std::vector<TagField> infoItems(const fs::path& file) {
    std::vector<TagField> items;
    for (const Chunk& list : chunksOf(listChunks(readBytes(file)), "LIST", "INFO"))
        for (const Chunk& c : subChunks(list)) items.push_back({c.id, std::string(c.content().c_str())});
    return items;
}

fs::path ffmpegWav(const TempDir& dir) {
    const fs::path wav = dir / "in.wav";
    const auto r =
        run("ffmpeg -v error -y -f lavfi -i sine=d=0.5 -metadata IENG=Engineer -metadata IKEY=kw "
            "-metadata title=Name -metadata ISRC=Source -metadata ITCH=Tech -metadata artist=A " +
            shellQuote(wav.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return wav;
}

TEST(WavInfoItems, ReadAsFieldsNamedByTheirId) {
    if (!requireTool("ffmpeg") || !requireTool("ffprobe")) return;
    TempDir dir;
    const fs::path wav = ffmpegWav(dir);
    audioinfo::Facts facts;
    TagRecord record;
    CueList cues;
    TagExtras extras;
    ASSERT_TRUE(audioinfo::readWav(wav.string(), facts, record, cues, &extras));
    // The items beyond the properties, in file order; "INAM" (the title, in
    // a file without "DISP"), "IART" and "ISFT" (encoded-by) belong to the
    // properties.
    std::vector<TagField> expected;
    for (const TagField& item : infoItems(wav))
        if (!isPropertyInfoId(item.name)) expected.push_back(item);
    EXPECT_EQ(extras.fields, expected);
    ASSERT_EQ(extras.fields.size(), 4u);
    const auto probed = ffprobeTags(wav);
    for (const TagField& f : extras.fields)
        EXPECT_EQ(f.value, probed.at(f.name == "ITCH" ? "encoded_by" : f.name)) << f.name;
    EXPECT_EQ(record.title, "Name");
    EXPECT_EQ(record.album, "");
    EXPECT_EQ(record.artist, "A");
    EXPECT_TRUE(extras.pictures.empty());
}

TEST(WavInfoItems, SetReplacedAndRemovedByIdEverythingElseKept) {
    if (!requireTool("ffmpeg") || !requireTool("ffprobe")) return;
    TempDir dir;
    const fs::path wav = ffmpegWav(dir);
    const Bytes before = readBytes(wav);
    const std::vector<TagField> itemsBefore = infoItems(wav);
    const std::string md5 = audioMd5(wav);
    TagRecord record;
    CueList cues;
    ASSERT_TRUE(readWavInfo(wav.string(), record, cues));
    TagChanges changes;
    changes.fields = {{"ITCH", "Neue Technik \u00e4"},
                      {"IKEY", ""},
                      {"ICMS", "ignored"},
                      {"ALBUM", "ignored"},
                      {"ISBJ", std::vector<std::string>{"Subject", "More"}},
                      {"bad name", "ignored"}};
    ASSERT_WRITES(writeWavInfo(wav.string(), record, cues, changes));
    // ITCH in its place with its new text, IKEY gone, ISBJ new at the end
    // (RIFF holds one value: joined); a property's id or map name and a name
    // that is no id change nothing. The title
    // moves from "INAM" to "DISP" ("INAM" would now say the album).
    std::vector<TagField> expected;
    for (TagField item : itemsBefore) {
        if (item.name == "IKEY" || item.name == "INAM") continue;
        if (item.name == "ITCH") item.value = "Neue Technik \u00e4";
        expected.push_back(item);
    }
    expected.push_back({"ISBJ", "Subject; More"});
    EXPECT_EQ(infoItems(wav), expected);
    EXPECT_EQ(itemsBefore.size(), 7u);
    const auto probed = ffprobeTags(wav);
    EXPECT_EQ(probed.at("encoded_by"), "Neue Technik \u00e4");
    EXPECT_EQ(probed.count("IKEY"), 0u);
    EXPECT_EQ(probed.at("ISRC"), "Source");
    EXPECT_EQ(probed.at("IENG"), "Engineer");
    EXPECT_EQ(audioMd5(wav), md5);
    // The chunks beyond the tags stay byte for byte.
    const auto otherBefore = otherChunks(listChunks(before)), otherAfter = otherChunks(listChunks(readBytes(wav)));
    ASSERT_EQ(otherBefore.size(), otherAfter.size());
    for (size_t i = 0; i < otherBefore.size(); ++i) EXPECT_EQ(otherBefore[i].bytes, otherAfter[i].bytes);

    // Read back: the fields as written.
    audioinfo::Facts facts;
    TagRecord again;
    CueList cuesAgain;
    TagExtras extras;
    ASSERT_TRUE(audioinfo::readWav(wav.string(), facts, again, cuesAgain, &extras));
    EXPECT_EQ(
        extras.fields,
        (std::vector<TagField>{
            {"IENG", "Engineer"}, {"ISRC", "Source"}, {"ITCH", "Neue Technik \u00e4"}, {"ISBJ", "Subject; More"}}));
    EXPECT_EQ(again, record);
    EXPECT_EQ(chunksOf(listChunks(readBytes(wav)), "DISP").at(0).content(), u32(1) + std::string("Name\0", 5));
}

TEST(WavInfoItems, PropertyIdsMapToTheProperties) {
    TagRecord r;
    EXPECT_TRUE(setInfoProperty(r, "INAM", "Album"));
    EXPECT_EQ(infoPropertyValue(r, "IPRD"), "Album");
    EXPECT_TRUE(setInfoProperty(r, "IPRD", "Product"));
    EXPECT_EQ(infoPropertyValue(r, "INAM"), "Product");
    EXPECT_TRUE(setInfoProperty(r, "IGNR", "rock"));
    EXPECT_TRUE(setInfoProperty(r, "ICRD", "1999-05-01"));
    EXPECT_TRUE(setInfoProperty(r, "ITRK", "7/9"));
    EXPECT_TRUE(setInfoProperty(r, "ISFT", "Encoder"));
    EXPECT_FALSE(setInfoProperty(r, "ITCH", "x"));
    EXPECT_FALSE(setInfoProperty(r, "inam", "x"));
    EXPECT_EQ(r.album, "Product");
    EXPECT_EQ(r.genre, 17);
    EXPECT_EQ(r.year, 1999);
    EXPECT_EQ(r.track, 7);
    EXPECT_EQ(r.encodedBy, "Encoder");
    // The genre and the date as held.
    EXPECT_EQ(infoPropertyValue(r, "IGNR"), "rock");
    EXPECT_EQ(infoPropertyValue(r, "ICRD"), "1999-05-01");
    EXPECT_EQ(infoPropertyValue(r, "ITRK"), "7");
    EXPECT_EQ(infoPropertyValue(r, "IART"), "");
    EXPECT_EQ(infoPropertyValue(r, "ITCH"), "");
    EXPECT_TRUE(isInfoItemId("ITCH"));
    EXPECT_TRUE(isInfoItemId("IAS1"));
    EXPECT_FALSE(isInfoItemId("itch"));
    EXPECT_FALSE(isInfoItemId("ITC"));
    EXPECT_FALSE(isInfoItemId("ITCHY"));
    EXPECT_FALSE(isInfoItemId("IT H"));
}

}  // namespace
}  // namespace qoro::tags
