#include "core/messages.h"

namespace quillet::text {

namespace {
bool mp3(ConversionMode mode) { return mode == ConversionMode::Mp3ToWav; }
std::string kind(ConversionMode mode) { return mp3(mode) ? "mp3" : "wav"; }
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
           " exists,overwrite it?\r\nPress OK will overwrite the exist file.\r\nPress CANCEL will Skip this file.";
}
std::string confirmQuit() { return std::string("Do You want to quit ") + kTitle + " ?"; }

std::string failedFiles(const std::vector<std::string>& paths) {
    std::string message = "These files could not be converted, or were converted only in part:";
    for (const std::string& path : paths) message += "\r\n" + path;
    return message;
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
    case 1019: return "Preview";
    case 1005: return "Play";
    case 1011: return "Pause";
    case 1012: return "Stop";
    case 1045: return "Next";
    case 1003: return "Open file";
    case 1021: return "Check files to Play or Convert";
    case 1008: return "Unselect files";
    case 1024: return "Convert";
    case 1077: return "MP3 to WAV Mode";
    case 1078: return "WAV to MP3 Mode";
    default: return {};
    }
}

}  // namespace quillet::text
