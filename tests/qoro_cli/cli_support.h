// What the qoro command-line tests share: running qoro and quoting paths.
#pragma once

#include <filesystem>
#include <string>

#include "test_support.h"

namespace qoro::test::cli {

// Runs the built qoro with 'args' (already quoted for the shell).
inline CommandResult runQoro(const std::string& args) { return run(shellQuote(binPath("qoro").string()) + " " + args); }

inline std::string q(const std::filesystem::path& p) { return shellQuote(p.string()); }

}  // namespace qoro::test::cli
