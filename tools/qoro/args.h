// A small command-line walker: "--name value", "--name=value", "-x value",
// "-xVALUE", and "--" ending the options.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qoro::cli {

class ArgWalker {
public:
    explicit ArgWalker(const std::vector<std::string>& args) : args_(args) {}

    bool done() const { return index_ >= args_.size(); }
    // The next argument; options are recognised until "--".
    const std::string& current() const { return args_[index_]; }
    bool optionsEnded() const { return optionsEnded_; }

    // True (and moves on) when the current argument is the flag 'name'.
    bool flag(const std::string& name);
    // True when the current argument is option 'name' taking a value; the
    // value goes to 'value' (missing value: 'error' is set).
    bool option(const std::string& name, std::string& value);
    // Takes the current argument as a plain word.
    std::string take() { return args_[index_++]; }
    // Skips "--" and marks the options as ended.
    bool endOfOptions();

    const std::string& error() const { return error_; }

private:
    const std::vector<std::string>& args_;
    size_t index_ = 0;
    bool optionsEnded_ = false;
    std::string error_;
};

// Whole-text number parsing; nullopt when the text is not entirely a number.
std::optional<long> parseLong(const std::string& text);
std::optional<double> parseDouble(const std::string& text);

}  // namespace qoro::cli
