// qoro: the command-line face of the QoroAudioFile and QoroAudioInformation
// components. Converts between audio formats on all cores, reports what the
// components know about files, edits tags, and measures loudness.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "convert.h"
#include "formats.h"
#include "tags.h"

namespace qoro::cli {

const char* const kMainHelp =
    "usage: qoro COMMAND [OPTIONS] ...\n"
    "\n"
    "Commands:\n"
    "  convert   convert audio files into another format\n"
    "  info      show the technical facts and tags of audio files\n"
    "  tag       change the tags of an audio file\n"
    "  loudness  measure the loudness of audio files (ReplayGain 2.0, EBU R128)\n"
    "\n"
    "qoro COMMAND --help shows the options of a command. See also qoro(1).\n";

const char* const kConvertHelp =
    "usage: qoro convert [OPTIONS] FILE... (-o FOLDER | -o FILE)\n"
    "       qoro convert [OPTIONS] -R FOLDER... -o FOLDER\n"
    "       qoro convert [OPTIONS] [-R] --files-from LIST -o FOLDER\n"
    "\n"
    "Converts each FILE into the output type. Output names follow the source\n"
    "name with the type's extension. Each output is written under a hidden\n"
    "temporary name and renamed into place when complete.\n"
    "\n"
    "Output:\n"
    "  -o, --output PATH     output folder (created when missing; a new name\n"
    "                        without extension is a folder), or for one\n"
    "                        input file the output file; without -o the outputs\n"
    "                        go beside their sources\n"
    "  --to TYPE             {targets}\n"
    "                        (default: from the extension of -o FILE)\n"
    "  --overwrite, -f       replace existing outputs\n"
    "  --skip-existing, -n   leave existing outputs alone and skip their sources\n"
    "  --no-tags             do not carry tags from source to target\n"
    "  -j, --jobs N          files converted at once (default: number of cores)\n"
    "  -v, --verbose         name every file left for its kind (see below)\n"
    "\n"
    "Sources:\n"
    "  --from raw:RATE:CHANNELS:BITS\n"
    "                        the files named are headerless samples of this form\n"
    "                        (1000-384000 Hz, 1 or 2 channels, 8 or 16 bits);\n"
    "                        without it a file whose extension the components do\n"
    "                        not open is not converted, and one whose content is\n"
    "                        of another kind than its name says is refused\n"
    "\n"
    "Whole libraries:\n"
    "  -R, --recursive       convert the audio files ({walked}) in each FOLDER and the folders below it, in the same "
    "folders below -o; cover.jpg, folder.jpg and front.* are copied beside the outputs; audio of other formats "
    "({unread}, ...) is counted as not converted, other files as other files\n"
    "  --update              convert only sources whose output is missing or\n"
    "                        older than the source (not with -f or -n)\n"
    "  --files-from LIST     the sources, one per line, or NUL-separated when\n"
    "                        the list holds a NUL byte (find -print0); - reads\n"
    "                        standard input; each goes below -o at its path as\n"
    "                        listed; with -R a listed folder is walked\n"
    "  --shard K/N           convert only this share of the files (0 <= K < N):\n"
    "                        N runs with K = 0..N-1 convert every file once;\n"
    "                        a share costs its own files, not the whole list\n"
    "  --dry-run             print the plan of the share; convert nothing\n"
    "  --report FILE         a JSON line per planned file of the share (source,\n"
    "                        target, status, cause, seconds, bytes) appended to\n"
    "                        FILE.partial as it finishes; a summary line last,\n"
    "                        then renamed to FILE\n"
    "\n"
    "Loudness:\n"
    "  --replaygain MODE     track or album: measure each output's loudness in\n"
    "                        the conversion (EBU R128) and tag its ReplayGain\n"
    "                        2.0 values (R128_* in Opus); album values once\n"
    "                        every track of an album (a folder) is done\n"
    "  --album-by KIND       folder (the default) or tag: albums by their\n"
    "                        album and album artist tags\n"
    "  --true-peak           peaks between the samples, 4x oversampled\n"
    "\n"
    "Format (defaults keep the source's rate, channels and bits where the\n"
    "output type allows):\n"
    "  -r, --rate HZ         sample rate\n"
    "  -c, --channels N      1 to 8 as the output type holds them (more are\n"
    "                        folded down to stereo)\n"
    "                        (ogg is written at 44100 or 48000 Hz: 96 kHz\n"
    "                        and the like go to 48000, 88.2 kHz to 44100)\n"
    "  --bits N              8, 16, 24, 32 or 32f (float) for wav; 16 or 24\n"
    "                        for flac and alac; 8 or 16 for aiff and raw pcm\n"
    "  --dither KIND         tpdf (the default) or none: how 24-bit, 32-bit\n"
    "                        and float samples are rounded to 16 bits\n"
    "  -b, --bitrate KBPS    mp3, mp2, opus (default 128); m4a (AAC, default 256);\n"
    "                        ogg nominal bitrate\n"
    "  --min-bitrate KBPS, --max-bitrate KBPS   ogg bitrate range\n"
    "  -q, --quality Q       ogg quality, -1 to 10\n"
    "  --level N             flac compression level, 0 (fastest) to 8 (smallest); 5\n"
    "  --complexity N        opus encoder complexity, 0 (fastest) to 10 (best); 10\n"
    "                        (opus is always 48000 Hz)\n"
    "  --compression KIND    raw: pcm, alaw, ulaw, gsm, ima-adpcm, ms-adpcm\n"
    "  --g723-rate KBPS      24 or 40\n"
    "  --g726-rate KBPS      16, 24, 32 or 40\n"
    "  --lame \"ARGS\"         LAME encoder options, e.g. \"-b 192 -m j -q 2\"\n"
    "  --preset NAME         phone, sw, am, fm, voice, radio, tape, hifi, cd,\n"
    "                        studio, r3mix, standard, fast-standard, extreme,\n"
    "                        fast-extreme, insane\n"
    "\n"
    "Option values are checked against what the output type takes before\n"
    "anything is written.\n"
    "\n"
    "Exit status: 0 when every file converted (or was skipped), 1 when some\n"
    "file or cover failed, a file named was not converted for its format, or a\n"
    "folder could not be read (files a walk finds of formats not read are\n"
    "counted, not failed), 2 for bad usage, an\n"
    "option value the output type does not take or a refused plan (nothing is\n"
    "written then), 130 when interrupted.\n"
    "\n"
    "Examples:\n"
    "  qoro convert --to wav -o wav/ music/*.mp3\n"
    "  qoro convert song.wav -o song.mp3 --bitrate 192\n"
    "  qoro convert --to mp3 --preset standard -j 4 -o mp3/ *.wav\n"
    "  qoro convert --to ogg --quality 5 -o ogg/ --skip-existing *.wav\n"
    "  qoro convert call.wav -o call.vox --rate 8000\n"
    "  qoro convert --from raw:8000:1:16 capture.bin -o capture.wav\n"
    "  qoro convert -R ~/Music -o ~/Phone --to mp3 --update\n"
    "  find music -name '*.wav' -print0 | qoro convert --files-from - -o mp3/ --to mp3\n"
    "  qoro convert -R music -o mp3/ --to mp3 --shard $SLURM_ARRAY_TASK_ID/16\n"
    "  (cd music && find . -name '*.flac' -print0) > music.list\n"
    "  cd music && qoro convert --files-from ../music.list -o ../mp3 --to mp3 --update \\\n"
    "      --shard $SLURM_ARRAY_TASK_ID/1000 --report ../reports/$SLURM_ARRAY_TASK_ID.jsonl\n";

const char* const kInfoHelp =
    "usage: qoro info [--json] FILE...\n"
    "\n"
    "Shows what the components report about each file: type, format, rate,\n"
    "channels, bits, bitrate, duration, size and tags (AudioInformation), and\n"
    "the decoder's format, duration and length (AudioFile).\n"
    "\n"
    "  --json    one JSON array with an object per file (bitrate in bit/s,\n"
    "            durations in ms; see qoro(1))\n"
    "\n"
    "Exit status: 0 when every file could be read (AudioFile opens it and\n"
    "AudioInformation finds its facts), 1 otherwise, with the cause in words.\n"
    "\n"
    "Examples:\n"
    "  qoro info song.mp3\n"
    "  qoro info --json *.wav > facts.json\n";

const char* const kTagHelp =
    "usage: qoro tag FILE [--title T] [--artist A] [--album A] [--year N]\n"
    "                     [--track N] [--genre GENRE] [--comment C]\n"
    "                     [--set NAME=VALUE]... [--remove NAME]...\n"
    "                     [--id3v1 | --id3v2]\n"
    "\n"
    "Changes the tags of a {tagged} file; tags not named keep their value.\n"
    "Without options, shows the file's facts and tags.\n"
    "\n"
    "  --genre GENRE      any text; a name of the genre table (any letter case)\n"
    "                     or its number (0 to 147) is written as the table has it\n"
    "  --set NAME=VALUE   sets a field by its name across formats (ALBUMARTIST,\n"
    "                     DISCNUMBER, LYRICS, MUSICBRAINZ_TRACKID, ...) or by the\n"
    "                     file's own name; the same NAME again adds a value\n"
    "  --remove NAME      removes a field\n"
    "  --id3v1, --id3v2   for MPEG files, the kind of ID3 tag written (default:\n"
    "                     the kind the file has, both when it has both, else\n"
    "                     ID3v2)\n"
    "\n"
    "Examples:\n"
    "  qoro tag song.mp3 --title \"Blue\" --artist \"The Band\" --year 1999\n"
    "  qoro tag take.wav --genre Jazz --track 3\n"
    "  qoro tag song.flac --set ARTISTS=Ann --set ARTISTS=Bo --set DATE=2021-06-01\n";

const char* const kLoudnessHelp =
    "usage: qoro loudness [OPTIONS] FILE...\n"
    "       qoro loudness [OPTIONS] -R FOLDER...\n"
    "\n"
    "Measures the integrated loudness (EBU R128, ITU-R BS.1770-4) and the peak of each FILE without converting it, "
    "and shows the ReplayGain 2.0 gain that plays it at -18 LUFS. Tracks quieter than -70 LUFS are silent: they get "
    "no gain.\n"
    "\n"
    "  -R, --recursive       measure the audio files ({walked}) in each FOLDER and the folders below it\n"
    "  --album               also measure albums: the files named form one album, and with -R the files of each folder "
    "form one; an album's loudness is that of all its tracks together; an album with a file that fails gets no "
    "album values\n"
    "  --write               write the values as tags, replacing those there: REPLAYGAIN_TRACK_GAIN, "
    "REPLAYGAIN_TRACK_PEAK, the album pair and REPLAYGAIN_REFERENCE_LOUDNESS (ID3v2 TXXX frames, whose RVA2 frames "
    "go; Vorbis comments; APEv2 items; MP4 items); Opus files get R128_TRACK_GAIN and R128_ALBUM_GAIN (Q7.8 against "
    "-23 LUFS) and no REPLAYGAIN_* fields, their header's output gain left as it is\n"
    "  --true-peak           the peak between the samples (4 times oversampled), not only at them\n"
    "  --json                one JSON array with an object per file (see qoro(1))\n"
    "  -j, --jobs N          files measured at once (default: number of cores)\n"
    "\n"
    "Exit status: 0 when every file was measured (and, with --write, tagged), 1 when some file failed or a folder "
    "could not be read, 2 for bad usage.\n"
    "\n"
    "Examples:\n"
    "  qoro loudness *.flac\n"
    "  qoro loudness --album --write -R ~/Music\n"
    "  qoro loudness --true-peak --json song.opus\n";

namespace {

// Breaks a line longer than the terminal's usual 79 columns at the last
// blank before them; an option's description goes on in its column.
std::string wrapped(const std::string& line) {
    constexpr size_t kWidth = 79, kColumn = 24;
    const size_t indent = line.compare(0, 2, "  ") == 0 ? kColumn : 0;
    std::string out, rest = line;
    while (rest.size() > kWidth) {
        const size_t blank = rest.rfind(' ', kWidth);
        if (blank == std::string::npos || blank <= indent) break;
        out += rest.substr(0, blank) + "\n";
        rest = std::string(indent, ' ') + rest.substr(rest.find_first_not_of(' ', blank));
    }
    return out + rest;
}

std::string joinedWords(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

}  // namespace

std::string helpText(const char* text) {
    const Formats& known = formats();
    std::vector<std::string> walked, unread;
    for (const FileFormat& f : known.files) {
        if (f.walked())
            for (const auto& ext : f.openExtensions)
                if (std::find(walked.begin(), walked.end(), ext) == walked.end()) walked.push_back(ext);
        if (f.type == 0 && !f.openExtensions.empty() && known.unread.count(f.openExtensions.front()) &&
            unread.size() < 2)
            unread.push_back(f.openExtensions.front());
    }
    const std::pair<const char*, std::string> fields[] = {
        {"{targets}", targetNames()},
        {"{walked}", joinedWords(walked)},
        {"{unread}", joinedWords(unread)},
        {"{tagged}", writableTypesText(true)},
    };
    std::string expanded = text;
    for (const auto& [field, value] : fields)
        for (size_t at; (at = expanded.find(field)) != std::string::npos;)
            expanded.replace(at, std::strlen(field), value);
    std::string out;
    for (size_t start = 0; start < expanded.size();) {
        const size_t end = expanded.find('\n', start);
        out += wrapped(expanded.substr(start, end - start)) + "\n";
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

}  // namespace qoro::cli

int main(int argc, char** argv) {
    using namespace qoro::cli;
    if (argc < 2) {
        std::fputs(kMainHelp, stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "convert") return runConvert(args);
    if (command == "info") return runInfo(args);
    if (command == "tag") return runTag(args);
    if (command == "loudness") return runLoudness(args);
    // Not listed in the help: what shell completion asks the components
    // through qoro (see qoro.bash-completion and qoro(1), FILES).
    if (command == "formats") return runFormats(args);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kMainHelp, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        std::puts("qoro 1.0");
        return kExitOk;
    }
    std::fprintf(stderr, "qoro: unknown command: %s\n\n%s", command.c_str(), kMainHelp);
    return kExitUsage;
}
