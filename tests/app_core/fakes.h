// Test doubles for the converter's logic: fake AudioFile (fake_audio_file.h)
// and AudioInformation objects over an in-memory set of sources, and one
// recording object that implements every port.
#pragma once

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/main_controller.h"
#include "fake_audio_file.h"
#include "interface_stubs.h"

namespace quillet::test {

class FakeInformation : public AudioInformationStub {
public:
    std::map<std::string, FileFacts> facts;
    std::vector<std::string> asked;

    HRESULT GetAudioInformation(BSTR fileName) override {
        const std::string path = qoro::com::utf8FromBstr(fileName);
        asked.push_back(path);
        auto it = facts.find(path);
        current_ = it == facts.end() ? FileFacts{} : it->second;
        return S_OK;
    }
    HRESULT get_infoTitle(BSTR* v) override { return *v = qoro::com::bstrFromUtf8(current_.title), S_OK; }
    HRESULT get_infoDuration(LONG* v) override { return *v = static_cast<LONG>(current_.durationMs), S_OK; }
    HRESULT get_infoBitrate(LONG* v) override { return *v = static_cast<LONG>(current_.bitrate), S_OK; }
    HRESULT get_infoFrequency(LONG* v) override { return *v = static_cast<LONG>(current_.frequency), S_OK; }

private:
    FileFacts current_;
};

// Every port at once, recording what the core asked of it. Everything of
// interest also lands in 'events', in order.
class RecordingPorts final : public Dialogs,
                             public Shell,
                             public GridView,
                             public MainView,
                             public MediaPlayer,
                             public Timer {
public:
    std::vector<std::string> events;
    std::vector<std::string> messages;
    std::vector<std::string> questions;
    std::deque<bool> answers;  // answers to questions; OK when empty
    std::deque<OverwriteAnswer> overwriteAnswers;  // Yes when empty
    CollisionChoice collisionChoice = CollisionChoice::Number;
    std::vector<std::vector<std::string>> collisionsShown;
    std::vector<RunSummary> summaries;
    std::map<size_t, std::pair<RowState, std::string>> rowStates;
    std::vector<std::tuple<size_t, size_t, double>> progress;
    int runsStarted = 0, runsEnded = 0;
    std::optional<std::vector<std::string>> chosenFiles;
    std::optional<std::string> chosenFolder;
    std::optional<uint32_t> chosenColour;
    std::vector<std::string> opened;  // shell
    size_t rowCount = 0;
    std::map<size_t, std::vector<std::string>> rows;
    uint32_t background = 0, textColour = 0;
    std::string name, duration, bitrate, frequency, time;
    std::vector<std::string> times;
    std::optional<ConversionMode> modeShown;
    bool closed = false;
    int state = Other;
    double pos = 0;
    int timerInterval = 0;

    void information(const std::string& text) override {
        messages.push_back(text);
        events.push_back("message " + text);
    }
    bool askOkCancel(const std::string& text, Question) override {
        questions.push_back(text);
        events.push_back("question " + text);
        if (answers.empty()) return true;
        const bool ok = answers.front();
        answers.pop_front();
        return ok;
    }
    OverwriteAnswer askOverwrite(const std::string& text) override {
        questions.push_back(text);
        events.push_back("overwrite? " + text);
        if (overwriteAnswers.empty()) return OverwriteAnswer::Yes;
        const OverwriteAnswer a = overwriteAnswers.front();
        overwriteAnswers.pop_front();
        return a;
    }
    CollisionChoice resolveCollisions(const std::string& text, const std::vector<std::string>& clashes) override {
        events.push_back("collisions " + text);
        collisionsShown.push_back(clashes);
        return collisionChoice;
    }
    void showSummary(const RunSummary& summary) override {
        summaries.push_back(summary);
        events.push_back("summary " + summary.headline);
    }
    std::optional<std::vector<std::string>> openFiles(const std::string& filter) override {
        events.push_back("openFiles " + filter);
        return chosenFiles;
    }
    std::optional<std::string> pickFolder(const std::string& title) override {
        events.push_back("pickFolder " + title);
        return chosenFolder;
    }
    std::optional<uint32_t> pickColour(uint32_t) override { return chosenColour; }
    void open(const std::string& path, bool maximised) override {
        opened.push_back(path);
        events.push_back(std::string("shell ") + (maximised ? "max " : "") + path);
    }
    void setRowCount(size_t n) override {
        rowCount = n;
        for (auto it = rows.begin(); it != rows.end();) it = it->first > n ? rows.erase(it) : std::next(it);
    }
    void setRow(size_t row, const std::vector<std::string>& cells) override { rows[row] = cells; }
    void setColours(uint32_t b, uint32_t t) override { background = b, textColour = t; }
    void setRowState(size_t row, RowState state, const std::string& detail) override {
        rowStates[row] = {state, detail};
    }
    void setNameLabel(const std::string& t) override { name = t; }
    void setDurationLabel(const std::string& t) override { duration = t; }
    void setBitrateLabel(const std::string& t) override { bitrate = t; }
    void setFrequencyLabel(const std::string& t) override { frequency = t; }
    void setTimeDisplay(const std::string& t) override {
        time = t;
        times.push_back(t);
        if (t == "00:00") events.push_back("labels reset");
    }
    void showMode(ConversionMode m) override { modeShown = m; }
    void runStarted() override {
        ++runsStarted;
        events.push_back("run started");
    }
    void runEnded() override {
        ++runsEnded;
        events.push_back("run ended");
    }
    void showProgress(size_t done, size_t files, double share) override { progress.emplace_back(done, files, share); }
    void minimise() override { events.push_back("minimise"); }
    void closeProgram() override {
        closed = true;
        events.push_back("close");
    }
    void open(const std::string& path) override {
        state = Playing;
        events.push_back("player open " + path);
    }
    void play() override {
        state = Playing;
        events.push_back("player play");
    }
    void pause() override {
        state = Paused;
        events.push_back("player pause");
    }
    void stop() override {
        state = Other;
        events.push_back("player stop");
    }
    int playState() override { return state; }
    double position() override { return pos; }
    void start(int interval) override { timerInterval = interval; }

    Ports ports() { return Ports{*this, *this, *this, *this, *this, *this, nullptr}; }
    std::vector<std::string> playerOpens() const {
        std::vector<std::string> r;
        for (const auto& e : events)
            if (e.rfind("player open ", 0) == 0) r.push_back(e.substr(12));
        return r;
    }
};

}  // namespace quillet::test
