// Test doubles for the converter's logic: fake AudioFile and AudioInformation
// objects over an in-memory set of sources, and one recording object that
// implements every port.
#pragma once

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/main_controller.h"
#include "interface_stubs.h"

namespace quillet::test {

// A source file as the fake reader sees it.
struct FakeSource {
    LONG rate = 44100;
    LONG channels = 2;
    long frames = 44100;
    long readErrorAt = -1;  // a read after this many frames reports FORMATFILE
};

struct FakeWorld {
    std::map<std::string, FakeSource> sources;
    std::map<std::string, long> written;  // target path -> frames written
    std::vector<std::string> calls;       // "src.OpenFile /x.mp3", "dst.CreateFile ...", ...
    long writeErrorAt = -1;               // a write beyond this many frames fails
};

class FakeAudioFile : public AudioFileStub {
public:
    FakeAudioFile(FakeWorld& world, std::string name) : world_(world), name_(std::move(name)) {}

    HRESULT OpenFile(BSTR fileName, LONG type, LONG flag) override {
        const std::string path = qoro::com::utf8FromBstr(fileName);
        log("OpenFile " + path + " " + std::to_string(type) + " " + std::to_string(flag));
        auto it = world_.sources.find(path);
        if (it == world_.sources.end()) {
            error_ = FILEACCESS;
            return S_OK;
        }
        source_ = it->second;
        readPos_ = 0;
        arrayRate_ = source_.rate;
        arrayChannels_ = source_.channels;
        error_ = NOERRORS;
        return S_OK;
    }
    HRESULT CloseFile() override {
        log("CloseFile");
        target_.clear();
        return S_OK;
    }
    HRESULT CreateFile(BSTR fileName, LONG type) override {
        target_ = qoro::com::utf8FromBstr(fileName);
        log("CreateFile " + target_ + " " + std::to_string(type));
        std::ofstream out(target_, std::ios::binary | std::ios::trunc);
        out << "fake";
        error_ = out ? NOERRORS : FILEACCESS;
        if (!out) target_.clear();
        else world_.written[target_] = 0;
        return S_OK;
    }
    HRESULT ReadFile(LONG n, SAFEARRAY** out) override {
        if (source_.readErrorAt >= 0 && readPos_ >= source_.readErrorAt) {
            error_ = FORMATFILE;
            *out = SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(source_.channels));
            return S_OK;
        }
        long frames = std::max<long>(0, std::min<long>(n, source_.frames - readPos_));
        if (source_.readErrorAt >= 0) frames = std::min<long>(frames, source_.readErrorAt - readPos_);
        readPos_ += frames;
        error_ = NOERRORS;
        *out = SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(frames * source_.channels));
        return S_OK;
    }
    HRESULT WriteFile(SAFEARRAY** array) override {
        if (target_.empty()) {
            error_ = FILEACCESS;
            return S_OK;
        }
        LONG upper = -1;
        SafeArrayGetUBound(*array, 1, &upper);
        const long frames = (upper + 1) / std::max<LONG>(1, arrayChannels_);
        long& done = world_.written[target_];
        if (world_.writeErrorAt >= 0 && done + frames > world_.writeErrorAt) {
            error_ = FILEACCESS;
            return S_OK;
        }
        done += frames;
        error_ = NOERRORS;
        return S_OK;
    }
    HRESULT SetFormatPCM(LONG f, LONG c, LONG b, LONG* blockAlign) override {
        log("SetFormatPCM " + std::to_string(f) + " " + std::to_string(c) + " " + std::to_string(b));
        if (blockAlign) *blockAlign = c * b / 8;
        return S_OK;
    }
    HRESULT SetFormatMP3(LONG f, LONG br, LONG c, LONG* blockAlign) override {
        log("SetFormatMP3 " + std::to_string(f) + " " + std::to_string(br) + " " + std::to_string(c));
        if (blockAlign) *blockAlign = 1;
        return S_OK;
    }
    HRESULT SetFormatArray(LONG f, LONG c) override {
        log("SetFormatArray " + std::to_string(f) + " " + std::to_string(c));
        arrayRate_ = f;
        arrayChannels_ = c;
        return S_OK;
    }
    HRESULT get_LastErrorNum(LONG* v) override { return *v = error_, S_OK; }
    HRESULT get_ArrayFrequency(LONG* v) override { return *v = arrayRate_, S_OK; }
    HRESULT get_ArrayChannels(LONG* v) override { return *v = arrayChannels_, S_OK; }

private:
    void log(const std::string& what) { world_.calls.push_back(name_ + "." + what); }
    FakeWorld& world_;
    std::string name_;
    FakeSource source_;
    long readPos_ = 0;
    LONG arrayRate_ = 44100, arrayChannels_ = 2;
    LONG error_ = NOERRORS;
    std::string target_;
};

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
class RecordingPorts final : public Dialogs, public Shell, public GridView, public MainView, public MediaPlayer,
                             public Timer {
public:
    std::vector<std::string> events;
    std::vector<std::string> messages;
    std::vector<std::string> questions;
    std::deque<bool> answers;  // answers to questions; OK when empty
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
    int repaints = 0;
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
    void repaintNow() override { ++repaints; }
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
