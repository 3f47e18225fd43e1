// The commands of qoro; each takes the arguments after its name and returns
// the process exit status.
#pragma once

#include <string>
#include <vector>

namespace qoro::cli {

int runConvert(const std::vector<std::string>& args);
int runInfo(const std::vector<std::string>& args);
int runTag(const std::vector<std::string>& args);
int runLoudness(const std::vector<std::string>& args);

extern const char* const kConvertHelp;
extern const char* const kInfoHelp;
extern const char* const kTagHelp;
extern const char* const kLoudnessHelp;
// A help text with what the components' tables fill in ({targets} the --to
// names, {walked} the extensions a walk takes, {unread} some of sound not
// read, {tagged} the types whose tags are written), wrapped to 79 columns.
std::string helpText(const char* text);

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // some file failed
inline constexpr int kExitUsage = 2;   // bad command line, or a refused plan
inline constexpr int kExitInterrupted = 130;

}  // namespace qoro::cli
