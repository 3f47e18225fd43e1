// What the window tests share: the application, dialogs answered from a
// script, a desktop "open" that only records, and a silent main window over
// a data folder.
#pragma once

#include <QApplication>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ports.h"
#include "main_window.h"

namespace quillet::qt::test {

// The application of a test program, made once, under the offscreen platform
// unless the environment names another.
inline void ensureApp(const char* programName) {
    static int argc = 1;
    static std::string name = programName;
    static char* argv[] = {name.data(), nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Kept to the very end of the process: destroying it among the other
    // static objects at exit races Qt's own global clean-up.
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

// Answers every dialog from a script and records what was shown.
struct ScriptedDialogs : Dialogs {
    std::vector<std::string> shown;
    std::deque<bool> answers;  // OK/Cancel answers; OK when the script ran out
    std::optional<std::vector<std::string>> files;
    void information(const std::string& text) override { shown.push_back(text); }
    bool askOkCancel(const std::string& text, Question) override {
        shown.push_back(text);
        if (answers.empty()) return true;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    OverwriteAnswer askOverwrite(const std::string& text) override {
        shown.push_back(text);
        return OverwriteAnswer::Yes;
    }
    CollisionChoice resolveCollisions(const std::string& text, const std::vector<std::string>&) override {
        shown.push_back(text);
        return CollisionChoice::Number;
    }
    void showSummary(const RunSummary& summary) override { summaries.push_back(summary); }
    std::vector<RunSummary> summaries;
    int openFilesCalls = 0;
    std::optional<std::vector<std::string>> openFiles(const std::string&) override {
        ++openFilesCalls;
        return files;
    }
    std::optional<std::string> pickFolder(const std::string&) override { return std::nullopt; }
    std::optional<uint32_t> pickColour(uint32_t) override { return 0x00336699; }
};

// Records what the desktop was asked to open.
struct RecordingShell : Shell {
    std::vector<std::string> opened;
    void open(const std::string& path, bool) override { opened.push_back(path); }
};

// A main window over the data folder 'root' (a path without the final "/"),
// answering through 'dialogs' and 'shell', its preview player silent.
inline std::unique_ptr<MainWindow> makeTestWindow(const std::string& root, Dialogs& dialogs, Shell& shell) {
    MainWindow::Setup setup;
    setup.dataRoot = root + "/";
    setup.dialogs = &dialogs;
    setup.shell = &shell;
    setup.output = PreviewPlayer::Output::Silent;
    return std::make_unique<MainWindow>(setup);
}

}  // namespace quillet::qt::test
