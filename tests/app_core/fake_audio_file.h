// A fake AudioFile over an in-memory set of sources, for the converter and
// for the conversion routine of the client library. It behaves as the
// component's contract says (members return S_OK, failures show in
// LastErrorNum; a failure may leave error information, as the component's
// own members do) and can be told to fail at every step. A target it writes
// is a real file holding "fake <frames written>" once closed.
#pragma once

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "interface_stubs.h"

namespace quillet::test {

// A source file as the fake reader sees it.
struct FakeSource {
    LONG rate = 44100;
    LONG channels = 2;
    long frames = 44100;
    long readErrorAt = -1;  // a read after this many frames reports FORMATFILE
};

// What the fakes share, and how they are told to fail.
struct FakeWorld {
    std::map<std::string, FakeSource> sources;
    std::map<std::string, long> written;  // name given to CreateFile -> frames written
    std::vector<std::string> calls;       // "src.OpenFile /x.mp3 0 1", "dst.CreateFile ...", ...
    long writeErrorAt = -1;               // a write beyond this many frames fails with FILEACCESS
    std::string writeCause;               // ... leaving this description, when not empty
    bool refuseFormat = false;            // SetFormat* answer BlockAlign 0
    LONG createError = NOERRORS;          // CreateFile fails with this code
    std::string createCause;
    LONG closeError = NOERRORS;  // CloseFile of a written file fails with this code
    HRESULT closeResult = S_OK;  // ... and returns this
    std::string closeCause;
    std::function<void()> onRead;  // called at every ReadFile, on the reading thread
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
        error_ = NOERRORS;
        HRESULT hr = S_OK;
        if (!target_.empty()) {
            std::ofstream(target_, std::ios::binary | std::ios::trunc) << "fake " << world_.written[target_];
            if (world_.closeError != NOERRORS || FAILED(world_.closeResult)) {
                error_ = world_.closeError;
                hr = world_.closeResult;
                fail(world_.closeCause);
            }
        }
        target_.clear();
        return hr;
    }
    HRESULT CreateFile(BSTR fileName, LONG type) override {
        target_ = qoro::com::utf8FromBstr(fileName);
        log("CreateFile " + target_ + " " + std::to_string(type));
        if (world_.createError != NOERRORS) {
            error_ = world_.createError;
            fail(world_.createCause);
            target_.clear();
            return S_OK;
        }
        std::ofstream out(target_, std::ios::binary | std::ios::trunc);
        out << "fake";
        error_ = out ? NOERRORS : FILEACCESS;
        if (!out)
            target_.clear();
        else
            world_.written[target_] = 0;
        return S_OK;
    }
    HRESULT ReadFile(LONG n, SAFEARRAY** out) override {
        if (world_.onRead) world_.onRead();
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
            fail(world_.writeCause);
            return S_OK;
        }
        done += frames;
        error_ = NOERRORS;
        return S_OK;
    }
    HRESULT SetFormatPCM(LONG f, LONG c, LONG b, LONG* blockAlign) override {
        log("SetFormatPCM " + std::to_string(f) + " " + std::to_string(c) + " " + std::to_string(b));
        error_ = NOERRORS;
        if (blockAlign) *blockAlign = world_.refuseFormat ? 0 : c * b / 8;
        return S_OK;
    }
    HRESULT SetFormatMP3(LONG f, LONG br, LONG c, LONG* blockAlign) override {
        log("SetFormatMP3 " + std::to_string(f) + " " + std::to_string(br) + " " + std::to_string(c));
        error_ = NOERRORS;
        if (blockAlign) *blockAlign = world_.refuseFormat ? 0 : 1;
        return S_OK;
    }
    HRESULT SetFormatArray(LONG f, LONG c) override {
        log("SetFormatArray " + std::to_string(f) + " " + std::to_string(c));
        error_ = NOERRORS;
        arrayRate_ = f;
        arrayChannels_ = c;
        return S_OK;
    }
    HRESULT get_LastErrorNum(LONG* v) override { return *v = error_, S_OK; }
    HRESULT get_ArrayFrequency(LONG* v) override { return *v = arrayRate_, S_OK; }
    HRESULT get_ArrayChannels(LONG* v) override { return *v = arrayChannels_, S_OK; }
    HRESULT get_nSamples(LONG* v) override { return *v = static_cast<LONG>(source_.frames), S_OK; }

private:
    void log(const std::string& what) { world_.calls.push_back(name_ + "." + what); }
    // Leaves error information, as the component does for a failure.
    static void fail(const std::string& cause) {
        if (!cause.empty()) qoro::com::reportError(E_FAIL, IID_IAudioFile, "Fake.AudioFile", cause);
    }
    FakeWorld& world_;
    std::string name_;
    FakeSource source_;
    long readPos_ = 0;
    LONG arrayRate_ = 44100, arrayChannels_ = 2;
    LONG error_ = NOERRORS;
    std::string target_;
};

// The frames a target file of the fake holds: what "fake <frames>" says, -1
// when there is no such file.
inline long fakeFrames(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string word;
    long frames = -1;
    if (!(in >> word) || word != "fake" || !(in >> frames)) return -1;
    return frames;
}

}  // namespace quillet::test
