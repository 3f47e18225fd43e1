// MPEG Plus facts and tags through the stream reader shared with the decoder.
// The tag is APEv2; a file without one gives the tags of its ID3v1 tag.
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "io/file_rewrite.h"
#include "mpc/mpc_stream.h"
#include "probe/signature.h"
#include "readers/readers.h"
#include "tags/apev2.h"
#include "tags/id3v1.h"

namespace qoro::audioinfo {

namespace {

tags::ReadAtFn readerOf(const io::Reader& in) {
    return [&in](uint64_t at, uint8_t* data, size_t n) { return in.readAt(at, data, n); };
}

}  // namespace

bool readMpc(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::TagExtras& extras,
             std::string* cause) {
    mpc::MpcStreamInfo info;
    if (!mpc::readStreamInfo(path, info)) {
        // Stream version 8 is read through the media plug-in.
        if (probe::identify(path) != probe::Kind::Musepack8 ||
            !readMedia(path, {"Musepack SV8 files", "a Musepack SV8 file", MediaTags::Ape}, facts, tags, extras, cause))
            return false;
        facts.bitrate = (facts.bitrate + 500) / 1000;  // kbit/s, as for the other stream versions
        return true;
    }
    const uint32_t frames = info.header.frames;
    facts.frequency = 44100;
    facts.channels = 2;
    facts.bitsPerSample = 16;
    facts.formatTag = 0;
    facts.bitrate = info.bitrateKbps;
    facts.size = saturated32(info.fileSize);
    facts.samples = saturated32(uint64_t(frames) * 1152u);
    facts.duration = saturated32(static_cast<uint64_t>(std::max<int64_t>(info.durationMs(), 0)));

    std::optional<tags::ape::Tag> ape;
    if (!info.tails.ape.empty()) {
        io::Reader in(path);
        if (in.ok()) ape = tags::ape::readTag(readerOf(in), info.tails.ape);
    }
    if (ape)
        tags::ape::applyTo(*ape, tags, extras);
    else if (info.id3v1)
        // The track of the tag is not taken; composer, URL, encoded-by and
        // copyright stay as they are.
        info.id3v1->applyMpegPlusTo(tags);

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
    return mpc::readStreamInfo(path, info) || probe::identify(path) == probe::Kind::Musepack8 ? 1 : 0;
}

std::error_code writeMpcTag(const std::string& path, const tags::TagRecord& record, const tags::TagChanges& changes) {
    mpc::MpcStreamInfo info;
    if (!mpc::readStreamInfo(path, info)) {
        if (::access(path.c_str(), F_OK) != 0) return {errno, std::system_category()};
        if (probe::identify(path) == probe::Kind::Musepack8 && mediaStream(path))
            return writeApeTail(path, record, changes);
        return io::make_error_code(io::Error::Damaged);
    }
    io::Reader in(path);
    if (!in.ok()) return in.error();
    if (in.size() != info.fileSize) return io::make_error_code(io::Error::Damaged);
    return writeApeTail(path, record, changes);
}

}  // namespace qoro::audioinfo
