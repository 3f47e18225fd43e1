// Ports for a window nobody sits at (screenshots, benchmarks): every question
// is answered yes (collisions numbered), the summary is kept rather than
// shown, pickers are cancelled and the desktop's "open" does nothing.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/ports.h"

namespace quillet::qt {

struct UnattendedDialogs final : Dialogs {
    std::optional<RunSummary> summary;
    void information(const std::string& text) override { std::fprintf(stderr, "quillet: %s\n", text.c_str()); }
    bool askOkCancel(const std::string&, Question) override { return true; }
    OverwriteAnswer askOverwrite(const std::string&) override { return OverwriteAnswer::YesToAll; }
    CollisionChoice resolveCollisions(const std::string&, const std::vector<std::string>&) override {
        return CollisionChoice::Number;
    }
    void showSummary(const RunSummary& s) override { summary = s; }
    std::optional<std::vector<std::string>> openFiles(const std::string&) override { return std::nullopt; }
    std::optional<std::string> pickFolder(const std::string&) override { return std::nullopt; }
    std::optional<uint32_t> pickColour(uint32_t) override { return std::nullopt; }
};

struct NoShell final : Shell {
    void open(const std::string&, bool) override {}
};

}  // namespace quillet::qt
