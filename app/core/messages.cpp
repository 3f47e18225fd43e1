#include "core/messages.h"

#include "core/file_types.h"

namespace quillet::text {

namespace {
bool mp3(ConversionMode mode) { return mode == ConversionMode::Mp3ToWav; }
std::string kind(ConversionMode mode) { return typeName(modeTypes(mode).source); }
}  // namespace

std::string playing(ConversionMode mode) { return "The " + kind(mode) + " files is playing, please press stop first."; }
std::string converting(ConversionMode mode) {
    return "The " + kind(mode) + " files is Converting, please wait for finishing.";
}
std::string convertingOnPause(ConversionMode mode) {
    return "The " + kind(mode) + " files is Converting,  please wait for finishing.";
}
std::string convertingOnStop(ConversionMode mode) {
    return "The " + kind(mode) + " files is Converting, please waiting for finishing.";
}
std::string convertingOnNext(ConversionMode mode) {
    return mp3(mode) ? "The mp3 files is Converting, please wait for finishing."
                     : "The wav files is Converting, you must stop first.";
}

std::string noCheckedToConvert(ConversionMode mode) {
    return "Please add at least one " + kind(mode) + " file to the grid and checked it then you can convert it.";
}
std::string noCheckedToPlay(ConversionMode mode) {
    return "Please add at least one " + kind(mode) + " file to the grid and checked it then you can play it.";
}
std::string confirmConversion(ConversionMode mode) {
    return mp3(mode) ? "Now the checked mp3 files in the grid will be converted to Wave files."
                     : "Now the checked wav files in the grid will be converted to mp3 files.";
}
std::string confirmOverwrite(ConversionMode mode, const std::string& targetPath) {
    return std::string(mp3(mode) ? "The Wave file named " : "The MP3 file named ") + targetPath +
           " exists,overwrite it?\r\nPress YES will overwrite the exist file.\r\nPress NO will Skip this file.";
}
std::string confirmQuit() { return std::string("Do You want to quit ") + kTitle + " ?"; }

std::string failedFiles(const std::vector<std::string>& paths) {
    std::string message = kFailedHeading;
    for (const std::string& path : paths) message += "\r\n" + path;
    return message;
}

std::string runHeadline(size_t converted, size_t failed, size_t skipped, size_t cancelled) {
    std::string line = std::to_string(converted) + " converted, " + std::to_string(failed) + " failed";
    if (skipped > 0) line += ", " + std::to_string(skipped) + " skipped";
    if (cancelled > 0) line += ", " + std::to_string(cancelled) + " cancelled";
    return line;
}

std::string refusedNames(const std::vector<std::string>& names) {
    std::string message = "These file names hold control characters (such as line breaks) and cannot be listed:";
    static const char* const hex = "0123456789ABCDEF";
    for (const std::string& name : names) {
        message += "\r\n";
        for (unsigned char c : name) {
            if (c < 0x20 || c == 0x7F) {
                message += "\\x";
                message += hex[c >> 4];
                message += hex[c & 15];
            } else {
                message += static_cast<char>(c);
            }
        }
    }
    return message;
}

std::string collisions(size_t count) {
    return std::to_string(count) +
           (count == 1 ? " checked file would be written over another file of the list, or to the name another one "
                         "takes:"
                       : " checked files would be written over other files of the list, or to names other ones "
                         "take:");
}

std::string openFileFilter(ConversionMode mode) {
    return mp3(mode) ? "mp3 files(*.mp3)|*.mp3||" : "wav files(*.wav)|*.wav||";
}

std::string tooltip(int controlId) {
    switch (controlId) {
    case 1001:
    case 1022: return "Exit";
    case 1002: return "Minimize";
    case 1018: return "About Quillet";
    case 1020: return "Options";
    case 1023: return "Help";
    case 1019: return "Previous";
    case 1005: return "Play";
    case 1011: return "Pause";
    case 1012: return "Stop";
    case 1045: return "Next";
    case 1003: return "Open file";
    case 1021: return "Check files to Play or Convert";
    case 1008: return "Clear files";
    case 1024: return "Convert";
    case 1077: return "MP3 to WAV Mode";
    case 1078: return "WAV to MP3 Mode";
    default: return {};
    }
}

}  // namespace quillet::text
