// Every text the program shows: titles, message boxes, menu entries, tooltips.
// The texts are the program's own and must stay exactly as they are (users
// and their scripts recognise them).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/settings.h"

namespace quillet::text {

inline constexpr const char* kTitle = "Quillet 2.68";

// Busy messages. The pause command has its own spelling (two spaces), stop
// and step forward their own wording.
std::string playing(ConversionMode mode);     // "The mp3 files is playing, please press stop first."
std::string converting(ConversionMode mode);  // "The mp3 files is Converting, please wait for finishing."
std::string convertingOnPause(ConversionMode mode);
std::string convertingOnStop(ConversionMode mode);
std::string convertingOnNext(ConversionMode mode);

std::string noCheckedToConvert(ConversionMode mode);
std::string noCheckedToPlay(ConversionMode mode);
std::string confirmConversion(ConversionMode mode);
std::string confirmOverwrite(ConversionMode mode, const std::string& targetPath);
std::string confirmQuit();
// The one notice after a run that lists the files that failed or were cut short.
std::string failedFiles(const std::vector<std::string>& paths);
// The heading of the failures in the summary.
inline constexpr const char* kFailedHeading = "These files could not be converted, or were converted only in part:";
// The counts of a run: "12 converted, 2 failed" and, when there were any,
// ", 1 skipped" and ", 3 cancelled".
std::string runHeadline(size_t converted, size_t failed, size_t skipped, size_t cancelled);
// File names the list cannot hold (control characters such as line breaks),
// each shown with those characters as \xNN.
std::string refusedNames(const std::vector<std::string>& names);
// The question before a run when targets collide.
std::string collisions(size_t count);
inline constexpr const char* kNumberThem = "Number the new names";
inline constexpr const char* kSkipThem = "Skip these files";
inline constexpr const char* kYesToAll = "Yes to all";
inline constexpr const char* kNoToAll = "No to all";
inline constexpr const char* kOpenFolder = "Open folder";
inline constexpr const char* kCancelRun = "Cancel the conversion";

inline constexpr const char* kFolderMissing =
    "The directory you select do not exist,The system will set it to the default.";
inline constexpr const char* kWaveFolderPickerTitle = "Wave Directory Select";
inline constexpr const char* kMp3FolderPickerTitle = "MP3 Directory Select";

std::string openFileFilter(ConversionMode mode);  // "mp3 files(*.mp3)|*.mp3||"

// Clear menu of button 1008, in menu order.
inline constexpr const char* kClearSelected = "Clear Selected Files";
inline constexpr const char* kClearUnselected = "Clear Unselect Files";
inline constexpr const char* kClearAll = "Clear All Files";
inline constexpr const char* kUnselectAll = "UnSelect All";

// About box.
inline constexpr const char* kAboutVersion = "Quillet Version 2.68";
inline constexpr const char* kAboutPlatform = "This program is for Linux desktops";
inline constexpr const char* kAboutLame =
    "LAME MP3 Encoder include, LAME encoder is a freeware project which provides high "
    "compression speed and perfect sound quality.";

// Tooltip of a main-window control by its id; empty for controls without one.
std::string tooltip(int controlId);

}  // namespace quillet::text
