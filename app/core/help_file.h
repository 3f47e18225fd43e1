// The program's help page, "Quillet.html": a short HTML guide to what the
// converter does, its two modes, the options, the list files and the data
// folder. It is compiled in and written into the data folder on first use, so
// the Help button always has a page to open.
#pragma once

#include <string_view>

#include "core/settings.h"

namespace quillet {

// The page's text.
std::string_view helpPage();

// Writes the page to the data folder unless a file of that name is already
// there (a page the user edited is kept). Returns true when the page is there
// afterwards. Failure is silent: the program works without it.
bool ensureHelpFile(const DataFolder& data);

}  // namespace quillet
