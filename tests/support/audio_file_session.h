// An AudioFile object created through the component runtime, with the few
// steps the end-to-end tests of every container share: error number and
// text, whole-file reads, block writes, properties, reference tools run.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "qoro/com.h"
#include "test_support.h"

namespace qoro::test {

// The description of this thread's error information ("" when none).
inline std::string errorText() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return {};
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::string out = com::utf8FromBstr(text);
    SysFreeString(text);
    info->Release();
    return out;
}

// Runs a shell command (a reference tool) and fails the test when it does
// not succeed; its output.
inline std::string mustRun(const std::string& command) {
    const CommandResult r = run(command);
    EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.output;
    return r.output;
}

// While it lives, files of this process may grow no further than `bytes`
// (writes past it fail with EFBIG, "File too large", and raise no signal).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old_;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = SIG_DFL;
};

// A new SAFEARRAY of VT_I2 holding `samples`, owned by the caller.
inline SAFEARRAY* sampleArray(const std::vector<int16_t>& samples) {
    SAFEARRAY* sa = SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(samples.size()));
    void* data = nullptr;
    if (sa && SUCCEEDED(SafeArrayAccessData(sa, &data))) {
        std::memcpy(data, samples.data(), samples.size() * 2);
        SafeArrayUnaccessData(sa);
    }
    return sa;
}

// One ReadFile of up to `frames` sample frames; empty at the end.
inline std::vector<int16_t> readOnce(IAudioFile* file, LONG frames) {
    SAFEARRAY* sa = nullptr;
    EXPECT_EQ(file->ReadFile(frames, &sa), S_OK);
    std::vector<int16_t> v;
    if (!sa) return v;
    LONG ub = -1;
    SafeArrayGetUBound(sa, 1, &ub);
    void* data = nullptr;
    SafeArrayAccessData(sa, &data);
    if (ub >= 0) v.assign(static_cast<int16_t*>(data), static_cast<int16_t*>(data) + (ub + 1));
    SafeArrayUnaccessData(sa);
    SafeArrayDestroy(sa);
    return v;
}

// Every sample IAudioFile3's ReadSamples gives, `frames` sample frames at a
// time, as bytes; each array of the kind `expected`.
inline std::vector<uint8_t> readSamplesFrom(IAudioFile3* file, LONGLONG frames, VARTYPE expected) {
    std::vector<uint8_t> all;
    for (int guard = 0; guard < 100000; ++guard) {
        SAFEARRAY* sa = nullptr;
        EXPECT_EQ(file->ReadSamples(frames, &sa), S_OK);
        if (!sa) break;
        VARTYPE vt = VT_EMPTY;
        SafeArrayGetVartype(sa, &vt);
        EXPECT_EQ(vt, expected);
        LONG ub = -1;
        SafeArrayGetUBound(sa, 1, &ub);
        void* data = nullptr;
        SafeArrayAccessData(sa, &data);
        const size_t bytes = static_cast<size_t>(ub + 1) * SafeArrayGetElemsize(sa);
        all.insert(all.end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + bytes);
        SafeArrayUnaccessData(sa);
        SafeArrayDestroy(sa);
        if (bytes == 0) break;
    }
    return all;
}

// Every sample ReadFile gives, asking `frames` sample frames at a time.
inline std::vector<int16_t> readAllFrom(IAudioFile* file, LONG frames) {
    std::vector<int16_t> all;
    for (int guard = 0; guard < 1000000; ++guard) {
        const auto block = readOnce(file, frames);
        if (block.empty()) break;
        all.insert(all.end(), block.begin(), block.end());
    }
    return all;
}

class AudioFileSession : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        ASSERT_EQ(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, af.putVoid()), S_OK);
    }
    void TearDown() override {
        if (af) af->CloseFile();
        af.reset();
        CoUninitialize();
    }
    LONG err() {
        LONG e = 1;
        af->get_LastErrorNum(&e);
        return e;
    }
    LONG prop(HRESULT (IAudioFile::*get)(LONG*)) {
        LONG v = -12345;
        EXPECT_EQ((af.get()->*get)(&v), S_OK);
        return v;
    }
    // OpenFile; false while the type is not in the engine's container table.
    bool open(const std::string& path, LONG type = DEFAULT, LONG flag = READ) {
        com::Bstr name(path);
        EXPECT_EQ(af->OpenFile(name.get(), type, flag), S_OK);
        return err() != FORMATNOTSUPPORT;
    }
    bool create(const std::string& path, LONG type = DEFAULT) {
        com::Bstr name(path);
        EXPECT_EQ(af->CreateFile(name.get(), type), S_OK);
        return err() != FORMATNOTSUPPORT;
    }
    // Reads sample frames until ReadFile returns none.
    std::vector<int16_t> readAll(LONG frames = 1000) { return readAllFrom(af.get(), frames); }
    // Writes interleaved samples in pieces of `piece` values.
    void writeAll(const std::vector<int16_t>& samples, size_t piece) {
        for (size_t at = 0; at < samples.size(); at += piece) {
            const size_t n = std::min(piece, samples.size() - at);
            SAFEARRAY* sa = sampleArray(std::vector<int16_t>(samples.begin() + static_cast<long>(at),
                                                             samples.begin() + static_cast<long>(at + n)));
            ASSERT_NE(sa, nullptr);
            EXPECT_EQ(af->WriteFile(&sa), S_OK);
            SafeArrayDestroy(sa);
            EXPECT_EQ(err(), NOERRORS);
        }
    }
    LONG seek(LONG frames, LONG origin = BEGIN_POS) {
        LONG now = -1;
        EXPECT_EQ(af->SeekFile(frames, origin, &now), S_OK);
        return now;
    }

    com::ComPtr<IAudioFile> af;
};

// The same, with an AudioInformation object beside it for tests that compare
// what the two components say of one file.
class AudioFileAndInfoSession : public AudioFileSession {
protected:
    void SetUp() override {
        AudioFileSession::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation,
                                   info.putVoid()),
                  S_OK);
    }
    void TearDown() override {
        info.reset();
        AudioFileSession::TearDown();
    }

    com::ComPtr<IAudioInformation> info;
};

}  // namespace qoro::test
