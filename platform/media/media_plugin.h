// The media plug-in as the components see it: found and loaded on first use
// (our stand-in for loading a codec component by its registration), and each
// file it opens held by a small owner.
//
//   #include "media/media_plugin.h"                  (target qoro_media_plugin)
//   std::string why;
//   auto file = media::File::open(path, why);      // empty: why says so
//   if (!file) ... why: "reading M4A files needs the package quillet-libav, which is not installed"
//   const qoro_media_facts& f = file.facts();
//   long n = file.read(QORO_MEDIA_F32, buffer, frames);
//
// The plug-in is "qoro-libav.so" in the folder of the component that asks
// (where the package installs it, <libdir>/qoro/, and bin/ of a build tree).
// It links GPL code, so QORO_NO_GPL_PLUGINS=1 in the environment keeps it
// from loading: those files are then refused like any the plug-in is not
// installed for.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "media/qoro_media.h"

namespace qoro::media {

// The package that brings the plug-in.
inline constexpr std::string_view kPackage = "quillet-libav";
inline constexpr std::string_view kFileName = "qoro-libav.so";

// The plug-in's table, or nullptr when it is absent, kept from loading or
// not of this interface. Loaded once per process; thread-safe.
const qoro_media_api* plugin();
// Why plugin() is nullptr, in words ("" when it is there).
const std::string& absence();
// The refusal of a file of a kind only the plug-in reads ("M4A files"):
// "reading M4A files needs the package quillet-libav, which is not
// installed" (or "... QORO_NO_GPL_PLUGINS=1 keeps it from loading").
std::string refusal(std::string_view filesOfKind);

// Whether the plug-in there writes files too, and the refusal of a file to
// write when it does not: "writing M4A files needs the package ...".
bool writes();
std::string writeRefusal(std::string_view filesOfKind);

// The codec for people: "AAC LC", "ALAC", "WavPack", "Monkey's Audio",
// "DSD"; the plug-in's own title for codecs not named here.
std::string codecName(const qoro_media_facts& facts);
// A one-line description in the style of the components' others:
// "ALAC 44100 Hz; Stereo; 16 Bit", "AAC LC 48000 Hz; 6 Channels; 256 Kbps",
// at `rate` (the rate the samples are given at; 0: the file's).
std::string describe(const qoro_media_facts& facts, long rate = 0);

// One file opened through the plug-in; closed when it goes.
class File {
public:
    File() = default;
    // Opens `path`; an empty File with the cause in `why` when the plug-in is
    // absent (refusal(filesOfKind)) or cannot open the file (its own words).
    static File open(const std::string& path, std::string& why, std::string_view filesOfKind = "these files");

    explicit operator bool() const { return handle_ != nullptr; }
    const qoro_media_facts& facts() const { return *api_->facts(handle_.get()); }
    // Tags and pictures: false past the last one.
    bool tag(int index, std::string_view& key, std::string_view& value) const;
    bool picture(int index, std::string_view& data, std::string_view& mime) const;
    long read(int sample, void* out, long frames) { return api_->read(handle_.get(), sample, out, frames); }
    bool seek(int64_t frame) { return api_->seek(handle_.get(), frame) == 0; }
    std::string error() const { return api_->error(handle_.get()); }

private:
    struct Closer {
        const qoro_media_api* api;
        void operator()(qoro_media* m) const { api->close(m); }
    };
    const qoro_media_api* api_ = nullptr;
    std::unique_ptr<qoro_media, Closer> handle_{nullptr, Closer{nullptr}};
};

// One file being written through the plug-in; freed when it goes (a file
// not finished is left for the caller to remove).
//
//   auto w = media::Writer::create(path, encoding, why, "M4A files");
//   if (!w.write(QORO_MEDIA_S16, samples, frames)) ... w.error()
//   qoro_media_written done{sizeof done};
//   if (!w.finish(done)) ... w.error()
class Writer {
public:
    Writer() = default;
    static Writer create(const std::string& path, const qoro_media_encoding& encoding, std::string& why,
                         std::string_view filesOfKind = "these files");

    explicit operator bool() const { return handle_ != nullptr; }
    bool write(int sample, const void* in, long frames) { return api_->write(handle_.get(), sample, in, frames) == 0; }
    bool finish(qoro_media_written& written) { return api_->finish(handle_.get(), &written) == 0; }
    std::string error() const { return api_->writer_error(handle_.get()); }

private:
    struct Closer {
        const qoro_media_api* api;
        void operator()(qoro_media_writer* w) const { api->close_writer(w); }
    };
    const qoro_media_api* api_ = nullptr;
    std::unique_ptr<qoro_media_writer, Closer> handle_{nullptr, Closer{nullptr}};
};

}  // namespace qoro::media
