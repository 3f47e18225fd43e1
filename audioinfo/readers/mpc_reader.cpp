// MPEG Plus facts and tags through the stream reader shared with the decoder.
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "io/file_rewrite.h"
#include "mpc/mpc_stream.h"
#include "readers/readers.h"
#include "tags/id3v1.h"

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
    facts.size = saturated32(info.fileSize);
    facts.samples = saturated32(uint64_t(frames) * 1152u);
    facts.duration = saturated32(static_cast<uint64_t>(std::max<int64_t>(info.durationMs(), 0)));

    // The track of the tag is not taken; composer, URL, encoded-by and
    // copyright stay as they are.
    if (info.id3v1) info.id3v1->applyMpegPlusTo(tags);

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

std::error_code writeMpcTag(const std::string& path, const tags::TagRecord& record) {
    mpc::MpcStreamInfo info;
    if (!mpc::readStreamInfo(path, info)) {
        if (::access(path.c_str(), F_OK) != 0) return {errno, std::system_category()};
        return io::make_error_code(io::Error::Damaged);
    }
    // Over the old tag, or appended: the audio bytes are never touched.
    return tags::writeId3v1Mpc(path, record);
}

}  // namespace qoro::audioinfo
