// Why a call on a component failed, in words: the component's own error
// information when it left some, the system's text for what the system
// refused, and otherwise a plain sentence for each ErrorConstants code.
#pragma once

#include <string>
#include <string_view>

#include "qoro/AudioFile.h"

namespace qoro::client {

// "FORMATFILE", "FILEACCESS", ... for an ErrorConstants value ("error -99"
// for a value outside the enumeration).
std::string errorName(LONG code);

// What an ErrorConstants value means, in plain words ("not an audio file of
// this type", ...); empty for NOERRORS.
std::string errorWords(LONG code);

// The system's text for HRESULTs that carry a system error (the disk-full
// code gives "No space left on device", access denied "Permission denied",
// file not found "No such file or directory"); empty for others.
std::string hresultWords(HRESULT hr);

// Empties this thread's error information slot, so what is found there after
// the next call belongs to that call (qoro::com::takeErrorDescription takes
// it).
void clearErrorInfo();

// Why a file cannot be read, from the file system alone: the system's text
// ("No such file or directory", "Permission denied", "Is a directory"), or
// "the file is empty"; empty when the file is there, readable and not empty.
std::string unreadableFileCause(const std::string& path);

// Why a file cannot be created at 'path', from the file system alone: the
// system's text for its folder ("No such file or directory", "Permission
// denied", "Not a directory"); empty when nothing is in the way.
std::string uncreatableFileCause(const std::string& path);

}  // namespace qoro::client
