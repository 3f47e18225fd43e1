// The MPEG decoder module framework: a decoder context owns input modules
// (sources of bytes), codec modules (bytes to PCM) and string-keyed property
// lists; it opens an input by name, picks a codec for it and decodes one
// frame per call. The component registers the file input module and the
// MPEG audio codec module in each context.
#pragma once

#include "mpeg_codec.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qoro::mpeg {

// Status codes of the decoder framework (0 = success).
enum MpegDecoderError : int {
    kMpegErrOutOfMemory = -100,
    kMpegErrInvalidParameter = -102,
    kMpegErrInternal = -103,
    kMpegErrVersionMismatch = -106,
    kMpegErrCannotOpenInput = -500,
    kMpegErrPermissionDenied = -504,
    kMpegErrNoSuchModule = -507,
    kMpegErrNoModuleForName = -508,
    kMpegErrFileNotFound = -513,
    kMpegErrEndOfInput = -514,
    kMpegErrNoCodec = -600,
    kMpegErrFrameDecoding = -700,
    kMpegErrPropertyNotFound = -900,
    kMpegErrPropertyWrongKind = -901,
};

// Interface version carried by the modules of this component; bits 8..23
// must read 0x0404 for a module to be accepted.
constexpr uint32_t kMpegModuleInterfaceVersion = 0x00040400;

// String-keyed properties with integer or text values, and listeners that
// are told of every change (value null on removal).
class MpegPropertyList {
public:
    struct Value {
        bool isInteger = true;
        int integer = 0;
        std::string text;
    };
    using Listener = void (*)(void* user, const std::string& name, const Value* value);

    void setInt(const std::string& name, int value);
    void setString(const std::string& name, const std::string& value);
    int getInt(const std::string& name, int& value) const;              // 0, -900 or -901
    int getString(const std::string& name, std::string& value) const;   // 0, -900 or -901
    int remove(const std::string& name);                                // 0 or -900
    void addListener(const std::string& name, Listener callback, void* user);
    void removeListener(const std::string& name, Listener callback, void* user);
    void clear();

private:
    struct Node {
        std::string name;
        Value value;
    };
    struct ListenerRecord {
        std::string name;
        Listener callback;
        void* user;
    };
    void notify(const std::string& name, const Value* value) const;
    const Node* find(const std::string& name) const;

    std::list<Node> nodes_;
    std::vector<ListenerRecord> listeners_;
};

class MpegDecoderContext;

// Input module record: method slots in the framework's fixed order.
struct MpegInputModule {
    uint32_t interfaceVersion;
    const char* name;
    const char* versionText;
    int (*nameTest)(const char* name);                  // 0 when the module accepts the name
    const char* const* (*info)();                       // device names, null-terminated
    void* (*create)(MpegDecoderContext& context, int moduleId);
    void (*destroy)(void* instance);
    int (*open)(void* instance, const char* name);
    int (*close)(void* instance);
    long (*read)(void* instance, void* buffer, long bytes);
    int (*seek)(void* instance, int64_t offset);
    int (*canSeek)(void* instance);
    int64_t (*size)(void* instance);
};

// Codec module record.
struct MpegCodecModule {
    uint32_t interfaceVersion;
    int (*probe)(const char* mimeType);                 // 0 when accepted
    const char* (*query)();                             // module description
    void* (*create)(MpegDecoderContext& context);
    void (*destroy)(void* instance);
    int (*decode)(void* instance, MpegDecoderContext& context, int16_t* out);
    int (*streamInfo)(void* instance, MpegDecoderContext& context);
    double (*offsetToFraction)(void* instance, int64_t offset);
    double (*fractionToFileFraction)(void* instance, double fraction);
    void (*reset)(void* instance);
    void* reserved1;
    void (*seekNotify)(void* instance, int64_t offset);
    void (*flush)(void* instance);
    int (*setConfig)(void* instance, const char* key, int value);
    int (*getConfig)(void* instance, const char* key, int* value);
    void* reserved2;
};

// MIME types the MPEG codec declares (its probe accepts every type).
inline constexpr const char* kMpegMimeTypes[] = {"audio/mpeg", "audio/x-mpeg", "audio/mp3", "audio/x-mp3"};

// The two modules of this component.
const MpegInputModule& mpegFileInputModule();
const MpegCodecModule& mpegAudioCodecModule();

// The MPEG codec of a context whose codec is mpegAudioCodecModule() (null
// otherwise): lets the engine read analysis details.
class MpegDecoderContext;
const MpegCodec* codecOf(const MpegDecoderContext& context);

class MpegDecoderContext {
public:
    struct StreamStatus {
        float playFraction = 0.0f;
        MpegStreamStatus stream;            // change flags, duration, rate, bitrate, channels
        MpegPropertyList properties;
        int hours = 0, minutes = 0, seconds = 0, hundredths = 0;
    };
    struct OutputDescriptor {
        uint32_t changeFlags = 0;
        int16_t* buffer = nullptr;
        int samples = 0;                    // per channel, last frame
        int bytesPerSample = 2;
        int channels = 0;
        int sampleRate = 0;
    };

    // Creates a context (0, or -100 when memory runs out).
    static int create(std::unique_ptr<MpegDecoderContext>& out);
    ~MpegDecoderContext();
    MpegDecoderContext(const MpegDecoderContext&) = delete;
    MpegDecoderContext& operator=(const MpegDecoderContext&) = delete;

    // Module id (>= 0) or a negative code (-106 version, -103 missing method).
    int registerInputModule(const MpegInputModule& module);
    int registerCodecModule(const MpegCodecModule& module);

    // Names the input; module id -1 takes the first module accepting the name.
    int openInput(int moduleId, const std::string& name);
    // Opens the named input, selects and resets the codec, analyses the stream.
    int open();
    // Decodes one frame into 'buffer' (the internal buffer when null).
    int decodeFrame(int16_t* buffer = nullptr);
    // Seeks to a time in seconds.
    int seekSeconds(float seconds);
    // Seeks to a sample of the music (per channel, counted from its first),
    // exactly; needs the MPEG codec's analysis. 0 or a negative code.
    int seekToSample(uint64_t sample);
    // The stretch of the input that holds the stream (MPEG audio inside
    // another container); set before open(). Without it the codec takes the
    // whole input less its leading and trailing tags.
    void setStreamRegion(std::optional<StreamRegion> region) { region_ = region; }
    const std::optional<StreamRegion>& streamRegion() const { return region_; }
    void closeInput();

    const StreamStatus& status() const { return status_; }
    StreamStatus& status() { return status_; }
    const OutputDescriptor& output() const { return output_; }
    OutputDescriptor& output() { return output_; }
    MpegPropertyList& decoderProperties() { return decoderProperties_; }
    bool inputOpen() const { return inputMode_ == 1; }
    bool canSeek() const { return canSeek_; }
    int64_t inputPosition() const { return position_; }
    int64_t inputSize() const { return size_; }
    const std::string& mimeType() const { return mime_; }
    void setMimeType(const std::string& mime) { mime_ = mime; }
    // Codec's maximum output per frame in bytes.
    int maxOutputBytes() const { return maxOutputBytes_; }

    void setErrorHook(std::function<void(const char* category, const char* detail)> hook) { hook_ = std::move(hook); }
    void reportError(const char* category, const char* detail) const;

    // Services for modules.
    long readInput(void* buffer, long bytes);
    int seekInput(int64_t offset);
    void resetCodec();

private:
    MpegDecoderContext() = default;
    struct InputEntry {
        const MpegInputModule* module;
        int id;
    };
    struct CodecEntry {
        const MpegCodecModule* module;
        int id;
    };
    void destroyInputInstance();
    void destroyCodecInstance();
    friend const MpegCodec* codecOf(const MpegDecoderContext& context);

    std::list<InputEntry> inputs_;
    std::list<CodecEntry> codecs_;
    MpegPropertyList decoderProperties_;

    // Input state.
    int inputMode_ = 0;  // 0 closed, 1 open
    bool named_ = false;
    bool canSeek_ = false;
    int64_t position_ = 0;
    int64_t size_ = 0;
    std::string inputName_;
    const MpegInputModule* input_ = nullptr;
    int inputId_ = -1;
    void* inputInstance_ = nullptr;
    std::string mime_ = "unknown";

    // Codec state.
    const MpegCodecModule* codec_ = nullptr;
    void* codecInstance_ = nullptr;
    int maxOutputBytes_ = MpegCodec::kMaxOutputBytes;

    StreamStatus status_;
    OutputDescriptor output_;
    std::vector<int16_t> internal_;
    int64_t playSeconds_ = 0;
    int64_t playMicros_ = 0;
    std::optional<StreamRegion> region_;
    std::function<void(const char*, const char*)> hook_;
};

}  // namespace qoro::mpeg
