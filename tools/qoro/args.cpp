#include "args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace qoro::cli {

bool ArgWalker::flag(const std::string& name) {
    if (done() || optionsEnded_ || args_[index_] != name) return false;
    ++index_;
    return true;
}

bool ArgWalker::option(const std::string& name, std::string& value) {
    if (done() || optionsEnded_) return false;
    const std::string& arg = args_[index_];
    if (arg == name) {
        if (index_ + 1 >= args_.size()) {
            error_ = "option " + name + " needs a value";
            ++index_;
            return true;
        }
        value = args_[index_ + 1];
        index_ += 2;
        return true;
    }
    bool longForm = name.size() > 2;
    if (longForm && arg.size() > name.size() + 1 && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        ++index_;
        return true;
    }
    if (!longForm && arg.size() > 2 && arg.compare(0, 2, name) == 0) {  // -j4
        value = arg.substr(2);
        ++index_;
        return true;
    }
    return false;
}

bool ArgWalker::endOfOptions() {
    if (done() || optionsEnded_ || args_[index_] != "--") return false;
    optionsEnded_ = true;
    ++index_;
    return true;
}

std::optional<long> parseLong(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0') return std::nullopt;
    return value;
}

std::optional<double> parseDouble(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || !end || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace qoro::cli
