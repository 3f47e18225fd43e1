// Facts of the first audio stream of an AVI file.
#include "avifile/avifile.h"
#include "readers/acm_facts.h"
#include "readers/readers.h"

namespace qoro::audioinfo {

bool readAvi(const std::string& path, Facts& facts) {
    avifile::File avi;
    if (!avi.open(path)) return false;
    auto audio = avi.stream(avifile::kStreamTypeAudio, 0);
    if (!audio) return false;
    acm::WAVEFORMATEX stored{};
    if (!acm::readHeader(audio->format(), stored)) return false;
    const uint64_t bytes = uint64_t(audio->info().length) * stored.nBlockAlign;
    facts.size = saturated32(bytes);
    return factsFromRecord(audio->format(), bytes, facts);
}

int probeAvi(const std::string& path) {
    avifile::File avi;
    if (!avi.open(path)) return -1;
    return avi.stream(avifile::kStreamTypeAudio, 0) ? 1 : -1;
}

}  // namespace qoro::audioinfo
