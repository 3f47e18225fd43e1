// MPEG Plus facts and tags through the stream reader shared with the decoder.
#include "formats/readers.h"
#include "genre/genre.h"
#include "mpc/mpc_stream.h"
#include "tags/id3v1.h"
#include "tags/text.h"

namespace qoro::audioinfo {

bool readMpc(const std::string& path, Facts& facts, tags::TagRecord& tags) {
    mpc::MpcStreamInfo info;
    if (!mpc::readStreamInfo(path, info)) return false;
    const uint32_t frames = info.header.frames;
    facts.frequency = 44100;
    facts.channels = 2;
    facts.bitsPerSample = 16;
    facts.formatTag = 0;
    facts.bitrate = info.bitrateKbps;
    facts.size = low32(info.fileSize);
    facts.samples = low32(uint64_t(frames) * 1152u);
    facts.duration = low32(static_cast<uint64_t>(info.durationMs()));

    if (info.id3v1) {
        const mpc::MpcId3v1& t = *info.id3v1;
        tags.title = tags::text::latin1ToUtf8(t.title);
        tags.artist = tags::text::latin1ToUtf8(t.artist);
        tags.album = tags::text::latin1ToUtf8(t.album);
        tags.comments = tags::text::latin1ToUtf8(t.comment);
        tags.year = tags::text::leadingNumber(t.year);
        tags.genre = genre::isValid(t.genre) ? t.genre : genre::kDefault;
    }

    std::string d = "MPEG Plus SV-" + std::to_string(info.header.streamVersion) + " ";
    d += mpc::profileName(info.header.profile);
    d += " 44,100 kHz;";
    d += " 44100; " + std::to_string(info.bitrateKbps) + " Kbps; ";
    if (info.bitrateComputed) d += "VBR";
    facts.description = std::move(d);
    return true;
}

int probeMpc(const std::string& path) {
    mpc::MpcStreamInfo info;
    return mpc::readStreamInfo(path, info) ? 1 : 0;
}

bool writeMpcTag(const std::string& path, const tags::TagRecord& record) {
    mpc::MpcStreamInfo info;
    if (!mpc::readStreamInfo(path, info)) return false;
    // Over the old tag, or appended: the audio bytes are never touched.
    return tags::writeId3v1Mpc(path, record);
}

}  // namespace qoro::audioinfo
