// JSON text as qoro writes it (info --json, convert --report).
#pragma once

#include <string>

namespace qoro::cli {

// A JSON string of any bytes. Well-formed UTF-8 passes as it is; a byte that
// is not part of it (a file name in another encoding) becomes the four
// characters \xNN of the value (written "\\xNN"), as qoro prints it, so the
// output stays valid UTF-8 and the byte can still be told.
std::string jsonString(const std::string& text);

}  // namespace qoro::cli
