#include "mpeg_decoder_context.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "genre/genre.h"
#include "tags/id3v1.h"

namespace qoro::mpeg {

// ---------------------------------------------------------------- properties

const MpegPropertyList::Node* MpegPropertyList::find(const std::string& name) const
{
    for (const Node& n : nodes_)
        if (n.name == name) return &n;
    return nullptr;
}

void MpegPropertyList::notify(const std::string& name, const Value* value) const
{
    // Copy first: a listener may add or remove listeners.
    const auto listeners = listeners_;
    for (const ListenerRecord& l : listeners)
        if (l.name == name) l.callback(l.user, name, value);
}

void MpegPropertyList::setInt(const std::string& name, int value)
{
    Node* node = const_cast<Node*>(find(name));
    if (!node) node = &nodes_.emplace_back(Node{name, {}});
    node->value = Value{true, value, {}};
    notify(name, &node->value);
}

void MpegPropertyList::setString(const std::string& name, const std::string& value)
{
    Node* node = const_cast<Node*>(find(name));
    if (!node) node = &nodes_.emplace_back(Node{name, {}});
    node->value = Value{false, 0, value};
    notify(name, &node->value);
}

int MpegPropertyList::getInt(const std::string& name, int& value) const
{
    const Node* n = find(name);
    if (!n) return kMpegErrPropertyNotFound;
    if (!n->value.isInteger) return kMpegErrPropertyWrongKind;
    value = n->value.integer;
    return 0;
}

int MpegPropertyList::getString(const std::string& name, std::string& value) const
{
    const Node* n = find(name);
    if (!n) return kMpegErrPropertyNotFound;
    if (n->value.isInteger) return kMpegErrPropertyWrongKind;
    value = n->value.text;
    return 0;
}

int MpegPropertyList::remove(const std::string& name)
{
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const Node& n) { return n.name == name; });
    if (it == nodes_.end()) return kMpegErrPropertyNotFound;
    nodes_.erase(it);
    notify(name, nullptr);
    return 0;
}

void MpegPropertyList::addListener(const std::string& name, Listener callback, void* user)
{
    if (callback) listeners_.push_back({name, callback, user});
}

void MpegPropertyList::removeListener(const std::string& name, Listener callback, void* user)
{
    std::erase_if(listeners_, [&](const ListenerRecord& l) {
        return l.name == name && l.callback == callback && l.user == user;
    });
}

void MpegPropertyList::clear() { nodes_.clear(); }

// ------------------------------------------------------------------ context

int MpegDecoderContext::create(std::unique_ptr<MpegDecoderContext>& out)
{
    out.reset(new (std::nothrow) MpegDecoderContext());
    return out ? 0 : kMpegErrOutOfMemory;
}

MpegDecoderContext::~MpegDecoderContext()
{
    closeInput();
    destroyInputInstance();
    destroyCodecInstance();
}

void MpegDecoderContext::reportError(const char* category, const char* detail) const
{
    if (hook_) hook_(category, detail);
}

static bool versionMatches(uint32_t v) { return ((v >> 8) & 0xFFFF) == 0x0404; }

int MpegDecoderContext::registerInputModule(const MpegInputModule& m)
{
    if (!versionMatches(m.interfaceVersion)) return kMpegErrVersionMismatch;
    const char* missing = !m.create ? "null 'new' method in module"
                        : !m.destroy ? "null 'new' method in module"
                        : !m.open ? "null 'open' method in module"
                        : !m.close ? "null 'close' method in module"
                        : !m.read ? "null 'read' method in module"
                                  : nullptr;
    if (missing) {
        reportError("internal error", missing);
        return kMpegErrInternal;
    }
    const int id = inputs_.empty() ? 0 : inputs_.front().id + 1;
    inputs_.push_front({&m, id});
    return id;
}

int MpegDecoderContext::registerCodecModule(const MpegCodecModule& m)
{
    if (!versionMatches(m.interfaceVersion)) return kMpegErrVersionMismatch;
    const char* missing = !m.query ? "null 'query' method"
                        : !m.probe ? "null 'probe' method in module"
                        : !m.create ? "null 'new' method in module"
                        : !m.destroy ? "null 'new' method in module"
                        : !m.decode ? "null 'decode' method in module"
                                    : nullptr;
    if (missing) {
        reportError("internal error", missing);
        return kMpegErrInternal;
    }
    const int id = codecs_.empty() ? 0 : codecs_.front().id + 1;
    codecs_.push_front({&m, id});
    return id;
}

void MpegDecoderContext::destroyInputInstance()
{
    if (input_ && inputInstance_) input_->destroy(inputInstance_);
    inputInstance_ = nullptr;
}

void MpegDecoderContext::destroyCodecInstance()
{
    if (codec_ && codecInstance_) codec_->destroy(codecInstance_);
    codecInstance_ = nullptr;
    codec_ = nullptr;
}

void MpegDecoderContext::closeInput()
{
    if (inputMode_ == 1 && input_ && inputInstance_) input_->close(inputInstance_);
    inputMode_ = 0;
    position_ = 0;
}

int MpegDecoderContext::openInput(int moduleId, const std::string& name)
{
    const MpegInputModule* chosen = nullptr;
    int chosenId = -1;
    if (moduleId == -1) {
        for (const InputEntry& e : inputs_)
            if (!e.module->nameTest || e.module->nameTest(name.c_str()) == 0) {
                chosen = e.module;
                chosenId = e.id;
                break;
            }
        if (!chosen) return kMpegErrNoModuleForName;
    } else {
        for (const InputEntry& e : inputs_)
            if (e.id == moduleId) {
                chosen = e.module;
                chosenId = e.id;
            }
        if (!chosen) return kMpegErrNoSuchModule;
    }
    if (named_ && chosen == input_ && name == inputName_) return 0;  // same module, same name
    closeInput();
    if (chosen != input_) {
        destroyInputInstance();
        input_ = chosen;
    }
    inputId_ = chosenId;
    if (!inputInstance_) {
        inputInstance_ = input_->create(*this, inputId_);
        if (!inputInstance_) return kMpegErrOutOfMemory;
    }
    inputName_ = name;
    named_ = true;
    return 0;
}

int MpegDecoderContext::open()
{
    if (!input_ || !inputInstance_ || !named_) {
        reportError("internal error", !input_ ? "null input module" : "null input instance");
        return kMpegErrInternal;
    }
    if (inputMode_ != 0) {
        reportError("internal error", "input not closed");
        return kMpegErrInternal;
    }
    mime_ = "unknown";
    status_.properties.clear();
    const int rc = input_->open(inputInstance_, inputName_.c_str());
    if (rc < 0) return rc;
    inputMode_ = 1;
    position_ = 0;
    size_ = input_->size ? input_->size(inputInstance_) : 0;
    canSeek_ = input_->canSeek ? input_->canSeek(inputInstance_) != 0 : false;

    const std::string mime = mime_ == "unknown" ? "audio/unknown" : mime_;
    const MpegCodecModule* chosen = nullptr;
    for (const CodecEntry& e : codecs_)
        if (e.module->probe(mime.c_str()) == 0) {
            chosen = e.module;
            break;
        }
    if (!chosen) return kMpegErrNoCodec;
    if (chosen != codec_) {
        destroyCodecInstance();
        codec_ = chosen;
        codecInstance_ = codec_->create(*this);
        if (!codecInstance_) {
            codec_ = nullptr;
            return kMpegErrOutOfMemory;
        }
    }
    resetCodec();
    status_.stream = MpegStreamStatus{};
    status_.playFraction = 0.0f;
    playSeconds_ = playMicros_ = 0;
    status_.hours = status_.minutes = status_.seconds = status_.hundredths = 0;
    output_ = OutputDescriptor{};
    if (canSeek_ && codec_->streamInfo) codec_->streamInfo(codecInstance_, *this);
    return 0;
}

long MpegDecoderContext::readInput(void* buffer, long bytes)
{
    if (inputMode_ != 1 || bytes <= 0) return 0;
    const long n = input_->read(inputInstance_, buffer, bytes);
    if (n > 0) position_ += n;
    return n;
}

int MpegDecoderContext::seekInput(int64_t offset)
{
    if (inputMode_ != 1 || !input_->seek) return kMpegErrInternal;
    const int rc = input_->seek(inputInstance_, offset);
    if (rc < 0) return rc;
    position_ = offset;
    return 0;
}

void MpegDecoderContext::resetCodec()
{
    if (codec_ && codecInstance_ && codec_->reset) codec_->reset(codecInstance_);
}

int MpegDecoderContext::decodeFrame(int16_t* buffer)
{
    if (inputMode_ != 1 || !codec_ || !codecInstance_) {
        reportError("internal error", "input not open");
        return kMpegErrInternal;
    }
    if (!buffer) {
        if (internal_.empty()) internal_.resize(size_t(maxOutputBytes_ / 2));
        buffer = internal_.data();
    }
    const int oldChannels = output_.channels, oldRate = output_.sampleRate, oldBytes = output_.bytesPerSample;
    output_.buffer = buffer;
    output_.bytesPerSample = 2;
    status_.stream.changeFlags = 0;
    const int rc = codec_->decode(codecInstance_, *this, buffer);
    // A frame with faulty data still took its place in the stream: its
    // time counts, and the caller decides whether to use its output.
    if (rc < 0 && rc != kMpegErrFrameDecoding) return rc;

    const uint32_t samples = uint32_t(std::max(output_.samples, 0));
    const uint32_t rate = uint32_t(std::max(output_.sampleRate, 1));
    const int64_t micros = int64_t(2048000000u / rate) * (samples >> 11) + int64_t(samples & 2047) * 1000000 / rate;
    playMicros_ += micros;
    playSeconds_ += playMicros_ / 1000000;
    playMicros_ %= 1000000;

    double fraction;
    if (codec_->offsetToFraction) fraction = codec_->offsetToFraction(codecInstance_, position_);
    else fraction = size_ > 0 ? double(position_) / double(size_) : 0.0;
    status_.playFraction = float(std::min(fraction, 1.0));
    status_.hours = int(playSeconds_ / 3600);
    status_.minutes = int(playSeconds_ / 60 % 60);
    status_.seconds = int(playSeconds_ % 60);
    status_.hundredths = int(playMicros_ / 10000);

    output_.changeFlags = 0;
    if (output_.bytesPerSample != oldBytes) output_.changeFlags |= 1;
    if (output_.channels != oldChannels) output_.changeFlags |= 6;
    if (output_.sampleRate != oldRate) output_.changeFlags |= 4;
    return rc;
}

int MpegDecoderContext::seekSeconds(float t)
{
    if (inputMode_ != 1 || !codec_ || !codecInstance_) return kMpegErrInternal;
    const int duration = status_.stream.durationMs;
    double fraction = duration > 0 ? double(t) * 1000.0 / double(duration) : 0.0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const double fileFraction =
        codec_->fractionToFileFraction ? codec_->fractionToFileFraction(codecInstance_, fraction) : fraction;
    int64_t offset = int64_t(double(size_) * fileFraction);
    offset = std::clamp<int64_t>(offset, 0, size_);
    const int rc = seekInput(offset);
    if (rc < 0) return rc;
    if (codec_->seekNotify) codec_->seekNotify(codecInstance_, offset);
    double played;
    if (codec_->offsetToFraction) played = codec_->offsetToFraction(codecInstance_, offset);
    else played = size_ > 0 ? double(offset) / double(size_) : 0.0;
    status_.playFraction = float(std::min(played, 1.0));
    double seconds;
    if (duration > 0) seconds = double(status_.playFraction) * duration / 1000.0;
    else seconds = status_.stream.bitrateKbps > 0 ? double(offset) / (status_.stream.bitrateKbps * 125.0) : 0.0;
    playSeconds_ = int64_t(seconds);
    playMicros_ = int64_t((seconds - double(playSeconds_)) * 1e6);
    return 0;
}

// --------------------------------------------------------- file input module

namespace {

// The decoder names only the first 80 genres, with its own spelling of two
// of them.
std::string decoderGenre(int index) {
    if (index == 40) return "AlternRock";
    if (index == 64) return "Native American";
    return std::string(genre::toString(index));
}

struct FileInput {
    std::string name;
    int moduleId = -1;
    MpegDecoderContext* context = nullptr;
    FILE* file = nullptr;
    bool isStdin = false;
    int64_t size = 0;
    std::vector<char> buffer;
};

void readId3v1(FileInput& in)
{
    tags::Id3v1Block block{};
    if (in.size < int64_t(block.size()) || std::fseek(in.file, -int(block.size()), SEEK_END) != 0) return;
    if (std::fread(block.data(), 1, block.size(), in.file) == block.size()) {
        if (const auto tag = tags::parseId3v1(block, tags::Id3v1Reading::Decoder)) {
            MpegPropertyList& p = in.context->status().properties;
            p.setString("id3/title", tag->title);
            p.setString("id3/artist", tag->artist);
            p.setString("id3/album", tag->album);
            p.setString("id3/year", tag->yearText);
            p.setString("id3/comment", tag->comment);
            const auto genreByte = uint8_t(tag->genre);
            if (genreByte < 80) p.setString("id3/genre", decoderGenre(genreByte));
        }
    }
    std::rewind(in.file);
}

int fileNameTest(const char*) { return 0; }

const char* const* fileInfo()
{
    static const char* const devices[] = {"any file name", "standard input", nullptr};
    return devices;
}

void* fileCreate(MpegDecoderContext& context, int moduleId)
{
    auto* in = new (std::nothrow) FileInput();
    if (!in) return nullptr;
    in->moduleId = moduleId;
    in->context = &context;
    return in;
}

int fileClose(void* instance)
{
    auto* in = static_cast<FileInput*>(instance);
    if (in->file && !in->isStdin) std::fclose(in->file);
    in->file = nullptr;
    in->isStdin = false;
    return 0;
}

void fileDestroy(void* instance)
{
    fileClose(instance);
    delete static_cast<FileInput*>(instance);
}

int fileOpen(void* instance, const char* name)
{
    auto* in = static_cast<FileInput*>(instance);
    if (!name || !*name) {
        in->context->reportError("internal error", "null params or null/empty input name");
        return kMpegErrInvalidParameter;
    }
    fileClose(instance);
    in->name = name;
    if (in->name == "-") {
        in->file = stdin;
        in->isStdin = true;
        in->size = 0;
        return 0;
    }
    in->file = std::fopen(name, "rb");
    if (!in->file) {
        const int e = errno;
        const char* detail = e == ENOENT ? "file not found" : e == EACCES ? "permission denied" : std::strerror(e);
        in->context->reportError("cannot open input file", detail);
        return e == ENOENT ? kMpegErrFileNotFound : e == EACCES ? kMpegErrPermissionDenied : kMpegErrCannotOpenInput;
    }
    in->buffer.resize(64 * 1024);
    std::setvbuf(in->file, in->buffer.data(), _IOFBF, in->buffer.size());
    struct stat st {};
    in->size = fstat(fileno(in->file), &st) == 0 ? int64_t(st.st_size) : 0;
    const size_t n = in->name.size();
    if (n > 4 && in->name.compare(n - 4, 4, ".mp3") == 0) readId3v1(*in);
    return 0;
}

long fileRead(void* instance, void* buffer, long bytes)
{
    auto* in = static_cast<FileInput*>(instance);
    if (!in->file || bytes <= 0) return 0;
    const size_t n = std::fread(buffer, 1, size_t(bytes), in->file);
    if (n == 0 && std::ferror(in->file)) return kMpegErrCannotOpenInput;
    return long(n);
}

int fileSeek(void* instance, int64_t offset)
{
    auto* in = static_cast<FileInput*>(instance);
    if (!in->file || in->isStdin) return kMpegErrInternal;
    return fseeko(in->file, off_t(offset), SEEK_SET) == 0 ? 0 : kMpegErrInternal;
}

int fileCanSeek(void* instance) { return static_cast<FileInput*>(instance)->isStdin ? 0 : 1; }

int64_t fileSize(void* instance) { return static_cast<FileInput*>(instance)->size; }

// ------------------------------------------------------- MPEG codec module

struct CodecInstance : MpegCodecHost {
    MpegCodec codec;
    MpegDecoderContext* context = nullptr;

    long read(void* buffer, long bytes) override { return context->readInput(buffer, bytes); }
    int seek(int64_t offset) override { return context->seekInput(offset); }
    int64_t position() const override { return context->inputPosition(); }
    int64_t size() const override { return context->inputSize(); }
    void setIntProperty(const char* name, int value) override { context->status().properties.setInt(name, value); }
    std::optional<StreamRegion> streamRegion() const override { return context->streamRegion(); }
};

int codecProbe(const char*) { return 0; }  // takes every stream, "audio/unknown" included

const char* codecQuery() { return "MPEG Audio Codec\nVersion 1.2\nMP1, MP2, MP3\nMPEG 1 or 2 audio"; }

void* codecCreate(MpegDecoderContext& context)
{
    auto* c = new (std::nothrow) CodecInstance();
    if (c) c->context = &context;
    return c;
}

void codecDestroy(void* instance) { delete static_cast<CodecInstance*>(instance); }

int codecDecode(void* instance, MpegDecoderContext& context, int16_t* out)
{
    auto* c = static_cast<CodecInstance*>(instance);
    c->context = &context;
    int samples = 0, channels = 0;
    const int rc = c->codec.decode(*c, context.status().stream, out, samples, channels);
    MpegDecoderContext::OutputDescriptor& o = context.output();
    if (rc == MpegCodec::kEndOfInput) return kMpegErrEndOfInput;
    if (rc < 0 && rc != MpegCodec::kDecodeFault) return rc;
    o.samples = samples;
    o.channels = channels;
    o.sampleRate = context.status().stream.sampleRate;
    return rc == MpegCodec::kDecodeFault ? kMpegErrFrameDecoding : 0;
}

int codecStreamInfo(void* instance, MpegDecoderContext& context)
{
    auto* c = static_cast<CodecInstance*>(instance);
    c->context = &context;
    return c->codec.analyse(*c, context.status().stream) ? 0 : kMpegErrInternal;
}

double codecOffsetToFraction(void* instance, int64_t offset)
{
    return static_cast<CodecInstance*>(instance)->codec.offsetToFraction(offset);
}

double codecFractionToFile(void* instance, double f)
{
    return static_cast<CodecInstance*>(instance)->codec.fractionToFileFraction(f);
}

void codecReset(void* instance) { static_cast<CodecInstance*>(instance)->codec.reset(); }

void codecSeekNotify(void* instance, int64_t offset)
{
    static_cast<CodecInstance*>(instance)->codec.seekNotify(offset);
}

void codecFlush(void* instance) { static_cast<CodecInstance*>(instance)->codec.restart(); }

// Channel selection and downsampling: only "as decoded" (0) is offered.
int codecSetConfig(void*, const char*, int value) { return value == 0 ? 0 : kMpegErrInvalidParameter; }

int codecGetConfig(void*, const char*, int* value)
{
    if (value) *value = 0;
    return 0;
}

}  // namespace

const MpegInputModule& mpegFileInputModule()
{
    static const MpegInputModule m = {kMpegModuleInterfaceVersion, "Input From File", "Version 1.2", fileNameTest,
                                      fileInfo, fileCreate, fileDestroy, fileOpen, fileClose, fileRead, fileSeek,
                                      fileCanSeek, fileSize};
    return m;
}

const MpegCodecModule& mpegAudioCodecModule()
{
    static const MpegCodecModule m = {kMpegModuleInterfaceVersion, codecProbe, codecQuery, codecCreate,
                                      codecDestroy, codecDecode, codecStreamInfo, codecOffsetToFraction,
                                      codecFractionToFile, codecReset, nullptr, codecSeekNotify, codecFlush,
                                      codecSetConfig, codecGetConfig, nullptr};
    return m;
}

const MpegCodec* codecOf(const MpegDecoderContext& context)
{
    if (context.codec_ != &mpegAudioCodecModule() || !context.codecInstance_) return nullptr;
    return &static_cast<const CodecInstance*>(context.codecInstance_)->codec;
}

int MpegDecoderContext::seekToSample(uint64_t sample)
{
    if (inputMode_ != 1 || codec_ != &mpegAudioCodecModule() || !codecInstance_) return kMpegErrInternal;
    auto* c = static_cast<CodecInstance*>(codecInstance_);
    if (!c->codec.seekToSample(sample)) return kMpegErrInternal;
    const uint64_t length = c->codec.musicLength();
    sample = std::min(sample, length);
    status_.playFraction = length ? float(double(sample) / double(length)) : 0.0f;
    const uint64_t rate = uint64_t(std::max(status_.stream.sampleRate, 1));
    playSeconds_ = int64_t(sample / rate);
    playMicros_ = int64_t((sample % rate) * 1000000 / rate);
    status_.hours = int(playSeconds_ / 3600);
    status_.minutes = int(playSeconds_ / 60 % 60);
    status_.seconds = int(playSeconds_ % 60);
    status_.hundredths = int(playMicros_ / 10000);
    return 0;
}

}  // namespace qoro::mpeg
