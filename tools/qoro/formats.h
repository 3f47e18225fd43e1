// What the components know of the types of file, as qoro uses it: read once
// from their Formats objects ("QoroAudioFile.Formats" and
// "QoroAudioInformation.Formats"), so that qoro keeps no list of formats of
// its own. The --to names and their extensions, the titles in messages, what
// each writer takes, the extensions a folder walk takes and those of audio
// not read all come from here; a type the components learn is known to qoro
// the day they learn it.
//
//   const Formats& known = formats();
//   if (const FileFormat* flac = known.file(FLAC); flac && flac->rates.holds(rate)) ...
//   if (known.walked.count(extensionOf(path))) ...
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"

namespace qoro::cli {

// Values a writer takes: a list, or any value of a range.
struct ValueSet {
    std::vector<long> list;
    long low = 0, high = 0;  // the range, when the list is empty

    // "8000 11025" or "1000-384000" (as the Formats object words them).
    static ValueSet parse(const std::string& text);
    bool empty() const { return list.empty() && high <= 0; }
    bool isRange() const { return list.empty() && high > 0; }
    bool single() const { return list.size() == 1; }
    bool holds(long value) const;
    long least() const { return list.empty() ? low : list.front(); }
    long most() const { return list.empty() ? high : list.back(); }
    // "6000, 8000 or 11025" for a list, "1000-384000" for a range.
    std::string text(const char* last = " or ") const;
};

using ExtensionSet = std::set<std::string, std::less<>>;

// One type of QoroAudioFile.Formats.
struct FileFormat {
    LONG type = 0;      // FormatTypeConstants; 0: a kind of sound known by its signature, not read
    std::string name;   // "wav", as --to takes it
    std::string title;  // "WAV", for people
    std::vector<std::string> openExtensions;    // the usual one first
    std::vector<std::string> createExtensions;  // the usual one first
    LONG abilities = 0;                         // FormatAbilityConstants
    ValueSet rates;                             // Hz
    long maxChannels = 0;
    std::vector<long> depths;  // bits per sample of a PCM writer; empty: none to choose
    bool floats = false;       // it writes 32-bit floats too ("32f")
    ValueSet bitrates;         // kbit/s of a coded writer

    bool reads() const { return (abilities & FORMAT_READS) != 0; }
    bool writes() const { return (abilities & FORMAT_WRITES) && !createExtensions.empty(); }
    bool walked() const { return (abilities & FORMAT_WALKED) != 0; }
};

// One type of QoroAudioInformation.Formats.
struct InfoFormat {
    SHORT type = 0;  // the infoType value
    std::string name, title;
    std::vector<std::string> extensions;
    LONG abilities = 0;     // InfoAbilityConstants
    std::string tagScheme;  // "RIFF INFO", "ID3v1 or ID3v2", "Vorbis comments", ...
};

struct Formats {
    std::vector<FileFormat> files;  // in the component's order; empty without the component
    std::vector<InfoFormat> infos;

    // Extensions (lower case, without the dot) by what qoro does with files
    // that carry them:
    ExtensionSet walked;    // a -R walk takes them (types FORMAT_WALKED)
    ExtensionSet opened;    // AudioFile reads files of these names (FORMAT_READS)
    ExtensionSet unread;    // sound of kinds not read: counted, not passed over
    ExtensionSet informed;  // AudioInformation finds the facts of these

    const FileFormat* file(LONG type) const;   // the entry of a FormatType; nullptr for none
    const InfoFormat* info(SHORT type) const;  // the entry of an infoType; nullptr for none
    // The types qoro writes, in the component's order.
    std::vector<const FileFormat*> writers() const;
    // The entry qoro writes by --to name (any letter case); nullptr for none.
    const FileFormat* writerNamed(std::string_view name) const;
    // "wav, mp3, vox, ..." (the names --to takes).
    std::string writerNames(const char* separator = ", ") const;
};

// The two components' formats, read on first use (from any thread).
const Formats& formats();

// qoro formats: what shell completion needs, one word per line (not listed
// in --help). Options: --targets (the --to names), --extensions (those a
// folder walk takes), --rates, --bitrates, --depths (every listed value any
// writer takes).
int runFormats(const std::vector<std::string>& args);

}  // namespace qoro::cli
