#include "riff/riff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace qoro::riff {

namespace {

uint32_t getLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t getLe64(const uint8_t* p) { return getLe32(p) | (static_cast<uint64_t>(getLe32(p + 4)) << 32); }

uint32_t getBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void putLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// pread/pwrite that retry on interruption and short transfers.
int64_t preadAll(int fd, uint8_t* data, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, data + done, n - done, static_cast<off_t>(at + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

bool pwriteAll(int fd, const uint8_t* data, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::pwrite(fd, data + done, n - done, static_cast<off_t>(at + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) {
            errno = EIO;  // nothing written and no reason given
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX) / 2;

}  // namespace

FourCC stringToFourCC(std::string_view text, bool toUpper) {
    char c[4] = {' ', ' ', ' ', ' '};
    for (size_t i = 0; i < 4 && i < text.size(); ++i) {
        if (text[i] == '\0') break;
        c[i] = text[i];
        if (toUpper && c[i] >= 'a' && c[i] <= 'z') c[i] = static_cast<char>(c[i] - 'a' + 'A');
    }
    return makeFourCC(c[0], c[1], c[2], c[3]);
}

std::string fourCCToString(FourCC code) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
    return s;
}

std::string errorText(int error) {
    if (error == 0) return {};
    if (error == kNotRegularFile) return "not a regular file";
    return std::system_category().message(error);  // strerror's text, thread-safe
}

std::string unreadableReason(const std::string& path) {
    File f;
    if (f.open(path, Mode::Read) != Status::Ok) return errorText(f.error() ? f.error() : EIO);
    if (f.size() == 0) return "the file is empty";
    return {};
}

const char* statusText(Status status) {
    switch (status) {
    case Status::Ok: return "no error";
    case Status::CannotOpen: return "cannot open file";
    case Status::CannotRead: return "cannot read file";
    case Status::CannotWrite: return "cannot write file";
    case Status::CannotSeek: return "cannot seek";
    case Status::CannotExpand: return "chunk too large";
    case Status::ChunkNotFound: return "chunk not found";
    case Status::CannotClose: return "cannot close file";
    case Status::NotOpen: return "file not open";
    }
    return "unknown error";
}

File::~File() { close(); }

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        mode_ = other.mode_;
        path_ = std::move(other.path_);
        buf_ = std::move(other.buf_);
        capacity_ = std::exchange(other.capacity_, 0);
        bufStart_ = other.bufStart_;
        bufValid_ = std::exchange(other.bufValid_, 0);
        dirtyBegin_ = std::exchange(other.dirtyBegin_, 0);
        dirtyEnd_ = std::exchange(other.dirtyEnd_, 0);
        pos_ = other.pos_;
        fileSize_ = other.fileSize_;
        writeFailed_ = std::exchange(other.writeFailed_, false);
        error_ = std::exchange(other.error_, 0);
        other.reset();
    }
    return *this;
}

void File::reset() {
    fd_ = -1;
    path_.clear();
    buf_.reset();
    capacity_ = 0;
    bufStart_ = 0;
    bufValid_ = 0;
    dirtyBegin_ = dirtyEnd_ = 0;
    pos_ = 0;
    fileSize_ = 0;
    writeFailed_ = false;
}

Status File::open(const std::string& path, Mode mode, size_t bufferSize) {
    close();
    error_ = 0;
    // Opened without waiting (a pipe without a writer would block), and
    // refused unless it is a regular file.
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    case Mode::ReadWrite: flags |= O_RDWR; break;
    case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        error_ = errno;
        return Status::CannotOpen;
    }
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0;
    if (!statted || !S_ISREG(st.st_mode)) {
        error_ = !statted ? errno : S_ISDIR(st.st_mode) ? EISDIR : kNotRegularFile;
        ::close(fd);
        return Status::CannotOpen;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    capacity_ = bufferSize ? bufferSize : kDefaultBuffer;
    buf_ = std::make_unique_for_overwrite<uint8_t[]>(capacity_);
    fd_ = fd;
    mode_ = mode;
    path_ = path;
    bufStart_ = 0;
    bufValid_ = 0;
    dirtyBegin_ = dirtyEnd_ = 0;
    pos_ = 0;
    fileSize_ = static_cast<uint64_t>(st.st_size);
    writeFailed_ = false;
    return Status::Ok;
}

Status File::close() {
    if (fd_ < 0) return Status::Ok;
    Status result = flushBuffer();
    if (writeFailed_) result = Status::CannotWrite;
    if (::close(fd_) != 0 && result == Status::Ok) {
        error_ = errno;
        result = Status::CannotClose;
    }
    reset();  // error() stays as it is
    return result;
}

Status File::flushBuffer() {
    if (dirtyEnd_ > dirtyBegin_) {
        bool ok = pwriteAll(fd_, buf_.get() + dirtyBegin_, dirtyEnd_ - dirtyBegin_, bufStart_ + dirtyBegin_);
        dirtyBegin_ = dirtyEnd_ = 0;
        if (!ok) {
            error_ = errno;
            writeFailed_ = true;
            return Status::CannotWrite;
        }
    }
    return Status::Ok;
}

Status File::flush() {
    if (fd_ < 0) return Status::NotOpen;
    Status s = flushBuffer();
    return writeFailed_ ? Status::CannotWrite : s;
}

Status File::fillBuffer(uint64_t at) {
    if (Status s = flushBuffer(); s != Status::Ok) return s;
    bufStart_ = at;
    bufValid_ = 0;
    int64_t got = preadAll(fd_, buf_.get(), capacity_, at);
    if (got < 0) {
        error_ = errno;
        return Status::CannotRead;
    }
    bufValid_ = static_cast<size_t>(got);
    return Status::Ok;
}

int64_t File::read(void* data, size_t n) {
    if (fd_ < 0) return -1;
    auto* out = static_cast<uint8_t*>(data);
    size_t total = 0;
    while (total < n) {
        size_t want = n - total;
        if (pos_ >= bufStart_ && pos_ < bufStart_ + bufValid_) {
            size_t off = static_cast<size_t>(pos_ - bufStart_);
            size_t k = std::min(want, bufValid_ - off);
            std::memcpy(out + total, buf_.get() + off, k);
            total += k;
            pos_ += k;
            continue;
        }
        if (pos_ >= fileSize_) break;
        if (want >= capacity_) {
            // Large reads bypass the buffer (after writing back what it holds).
            if (flushBuffer() != Status::Ok) return -1;
            int64_t got = preadAll(fd_, out + total, want, pos_);
            if (got < 0) {
                error_ = errno;
                return -1;
            }
            total += static_cast<size_t>(got);
            pos_ += static_cast<uint64_t>(got);
            break;
        }
        if (fillBuffer(pos_) != Status::Ok) return -1;
        if (bufValid_ == 0) break;
    }
    return static_cast<int64_t>(total);
}

int64_t File::write(const void* data, size_t n) {
    if (fd_ < 0 || mode_ == Mode::Read) return -1;
    if (pos_ > kMaxOffset || n > kMaxOffset) return -1;
    const auto* in = static_cast<const uint8_t*>(data);
    size_t total = 0;
    while (total < n) {
        size_t want = n - total;
        bool adjoins = pos_ >= bufStart_ && pos_ <= bufStart_ + bufValid_ && pos_ < bufStart_ + capacity_;
        if (adjoins) {
            size_t off = static_cast<size_t>(pos_ - bufStart_);
            size_t k = std::min(want, capacity_ - off);
            std::memcpy(buf_.get() + off, in + total, k);
            if (dirtyEnd_ == dirtyBegin_) {
                dirtyBegin_ = off;
                dirtyEnd_ = off + k;
            } else {
                dirtyBegin_ = std::min(dirtyBegin_, off);
                dirtyEnd_ = std::max(dirtyEnd_, off + k);
            }
            bufValid_ = std::max(bufValid_, off + k);
            total += k;
            pos_ += k;
            fileSize_ = std::max(fileSize_, pos_);
            continue;
        }
        if (flushBuffer() != Status::Ok) return -1;
        bufStart_ = pos_;
        bufValid_ = 0;
        if (want >= capacity_) {
            if (!pwriteAll(fd_, in + total, want, pos_)) {
                error_ = errno;
                writeFailed_ = true;
                return -1;
            }
            total += want;
            pos_ += want;
            bufStart_ = pos_;
            fileSize_ = std::max(fileSize_, pos_);
        }
    }
    return static_cast<int64_t>(total);
}

int64_t File::seek(int64_t offset, Origin origin) {
    if (fd_ < 0) return -1;
    int64_t base = 0;
    switch (origin) {
    case Origin::Begin: base = 0; break;
    case Origin::Current: base = static_cast<int64_t>(pos_); break;
    case Origin::End: base = static_cast<int64_t>(fileSize_); break;
    }
    if ((offset > 0 && base > static_cast<int64_t>(kMaxOffset) - offset) || base + offset < 0) return -1;
    pos_ = static_cast<uint64_t>(base + offset);
    return static_cast<int64_t>(pos_);
}

Status File::descend(Chunk& ck, const Chunk* parent, Find how) {
    if (fd_ < 0) return Status::NotOpen;
    const uint64_t end = parent ? parent->dataEnd() : fileSize_;
    const FourCC wantId = ck.id;
    const FourCC wantType = ck.formType;
    // Every step moves forward by at least the 8-byte header, so the walk
    // always ends, whatever the sizes say.
    for (;;) {
        if (pos_ > kMaxOffset || pos_ + 8 > end) return Status::ChunkNotFound;
        uint8_t header[8];
        if (!readExact(header, 8)) return Status::ChunkNotFound;
        Chunk found;
        found.id = getLe32(header);
        // A top-level "FORM" and everything inside it count sizes big-endian.
        found.bigEndian = parent ? parent->bigEndian : found.id == kForm;
        found.size = found.bigEndian ? getBe32(header + 4) : getLe32(header + 4);
        found.dataOffset = pos_;
        if (found.isForm()) {
            uint8_t type[4];
            if (!readExact(type, 4)) return Status::ChunkNotFound;
            found.formType = getLe32(type);
        }
        bool match = false;
        switch (how) {
        case Find::Next: match = true; break;
        case Find::Chunk: match = found.id == wantId; break;
        case Find::Riff: match = found.id == kRiff && found.formType == wantType; break;
        case Find::List: match = found.id == kList && found.formType == wantType; break;
        case Find::Form: match = found.id == kForm && found.formType == wantType; break;
        }
        if (match) {
            ck = found;
            return Status::Ok;
        }
        pos_ = found.nextOffset();
    }
}

Status File::ascend(Chunk& ck) {
    if (fd_ < 0) return Status::NotOpen;
    if (ck.dirty) {
        if (mode_ == Mode::Read) return Status::CannotWrite;
        if (pos_ < ck.dataOffset || ck.dataOffset < 4) return Status::CannotSeek;
        uint64_t newSize = pos_ - ck.dataOffset;
        if (newSize > 0xFFFFFFFFull) return Status::CannotExpand;
        if (newSize & 1u) {
            const uint8_t pad = 0;
            if (!writeExact(&pad, 1)) return Status::CannotWrite;
        }
        uint8_t field[4];
        (ck.bigEndian ? putBe32 : putLe32)(field, static_cast<uint32_t>(newSize));
        if (seek(static_cast<int64_t>(ck.dataOffset - 4)) < 0 || !writeExact(field, 4)) return Status::CannotWrite;
        ck.size = static_cast<uint32_t>(newSize);
        ck.dirty = false;
    }
    if (seek(static_cast<int64_t>(ck.nextOffset())) < 0) return Status::CannotSeek;
    return Status::Ok;
}

Status File::createChunk(Chunk& ck, Create how) {
    if (fd_ < 0) return Status::NotOpen;
    if (mode_ == Mode::Read) return Status::CannotWrite;
    if (how == Create::Riff) ck.id = kRiff;
    if (how == Create::List) ck.id = kList;
    if (how == Create::Form) {
        ck.id = kForm;
        ck.bigEndian = true;
    }
    uint8_t header[12];
    putLe32(header, ck.id);
    (ck.bigEndian ? putBe32 : putLe32)(header + 4, ck.size);
    size_t n = 8;
    if (how != Create::Chunk) {
        putLe32(header + 8, ck.formType);
        n = 12;
    } else {
        ck.formType = 0;
    }
    uint64_t start = pos_;
    if (!writeExact(header, n)) return Status::CannotWrite;
    ck.dataOffset = start + 8;
    ck.dirty = true;
    return Status::Ok;
}

namespace {

constexpr FourCC kWaveType = makeFourCC('W', 'A', 'V', 'E');
constexpr FourCC kDs64 = makeFourCC('d', 's', '6', '4');
constexpr FourCC kFmt = makeFourCC('f', 'm', 't', ' ');
constexpr FourCC kFact = makeFourCC('f', 'a', 'c', 't');
constexpr FourCC kData = makeFourCC('d', 'a', 't', 'a');

// The 8-byte chunk header at `at`: id, size and the offset of its data.
bool headerAt(const ReadExactAt& readAt, uint64_t at, Chunk& ck) {
    uint8_t h[8];
    if (!readAt(at, h, 8)) return false;
    ck = Chunk{};
    ck.id = getLe32(h);
    ck.size = getLe32(h + 4);
    ck.dataOffset = at + 8;
    return true;
}

}  // namespace

Status locateWave(File& f, WaveLayout& out) {
    out = WaveLayout{};
    if (!f.isOpen()) return Status::NotOpen;
    return locateWave(
        f.size(),
        [&f](uint64_t at, void* data, size_t n) {
            return at <= kMaxOffset && f.seek(static_cast<int64_t>(at)) >= 0 && f.readExact(data, n);
        },
        out);
}

Status locateWave(uint64_t fileSize, const ReadExactAt& readAt, WaveLayout& out) {
    out = WaveLayout{};

    // The first top-level "RIFF"/"RF64" chunk of type "WAVE".
    uint64_t at = 0;
    for (;;) {
        if (at > fileSize || fileSize - at < 12) return Status::ChunkNotFound;
        uint8_t h[12];
        if (!readAt(at, h, 12)) return Status::ChunkNotFound;
        const FourCC id = getLe32(h);
        const uint32_t size = getLe32(h + 4);
        if ((id == kRiff || id == kRf64) && getLe32(h + 8) == kWaveType) {
            out.form.id = id;
            out.form.size = size;
            out.form.formType = kWaveType;
            out.form.dataOffset = at + 8;
            break;
        }
        at += 8 + uint64_t{size} + (size & 1u);  // moves on by at least 8
    }
    out.rf64 = out.form.id == kRf64;

    // The end of the form as stored; "unknown" reaches to the end of the file.
    bool formSizeKnown = out.form.size != kUnknownSize;
    uint64_t formEnd = out.form.dataEnd();
    uint64_t walk = out.form.dataOffset + 4;
    bool ds64Filled = false;
    uint64_t ds64Data = 0;
    if (out.rf64) {
        // "ds64" comes first: 64-bit RIFF size, "data" size, sample count, ...
        Chunk ds;
        uint8_t v[16];
        if (!headerAt(readAt, walk, ds) || ds.id != kDs64 || ds.size < 16 || ds.dataEnd() > fileSize ||
            !readAt(ds.dataOffset, v, 16))
            return Status::ChunkNotFound;
        const uint64_t riff64 = getLe64(v);
        // A writer that streamed the file leaves the "ds64" sizes at 0; no
        // real form is that short.
        ds64Filled = riff64 != 0;
        ds64Data = getLe64(v + 8);
        if (out.form.size == kUnknownSize && ds64Filled) {
            formSizeKnown = true;
            formEnd = out.form.dataOffset + std::min<uint64_t>(riff64, kMaxOffset);
        }
        walk = ds.nextOffset();
    }

    uint64_t bound = formSizeKnown ? std::min(formEnd, fileSize) : fileSize;
    out.sizesStale = !formSizeKnown || formEnd > fileSize;
    bool beyondForm = false;
    for (;;) {
        Chunk ck;
        const bool fits = walk <= bound && bound - walk >= 8 && headerAt(readAt, walk, ck);
        const bool whole = fits && (ck.id == kData ? true : ck.dataEnd() <= bound);
        if (!whole) {
            // A form that ends before its "data" chunk (a RIFF size that
            // wrapped around 4 GiB): the chunks after it are walked too.
            if (!out.hasData && !beyondForm && bound < fileSize) {
                beyondForm = true;
                out.sizesStale = true;
                bound = fileSize;
                continue;
            }
            break;
        }
        if (ck.id == kData) {
            if (out.hasData) {  // a second one is passed over like any other chunk
                if (ck.dataEnd() > bound) break;
                walk = ck.nextOffset();
                continue;
            }
            out.hasData = true;
            out.data = ck;
            const uint64_t held = fileSize - ck.dataOffset;  // the header lies within the file
            uint64_t stored = ck.size;
            bool unknown = false;
            if (ck.size == kUnknownSize) {
                if (out.rf64 && ds64Filled)
                    stored = ds64Data;
                else
                    unknown = true;
            }
            if (unknown || stored > held) {
                out.dataSize = held;
                out.dataToEnd = true;
                out.dataIsLast = true;
                out.sizesStale = true;
                break;  // whatever follows is taken as samples
            }
            out.dataSize = stored;
            const uint64_t next = ck.dataOffset + stored + (stored & 1u);
            out.dataIsLast = next >= fileSize;
            if (formSizeKnown && ck.dataOffset + stored > formEnd) out.sizesStale = true;
            if (ck.dataOffset + stored > bound) break;  // beyond the form: nothing after it is trusted
            walk = next;
            continue;
        }
        if (ck.id == kFmt && !out.hasFormat) {
            out.hasFormat = true;
            out.format = ck;
        } else if (ck.id == kFact && !out.hasFact) {
            out.hasFact = true;
            out.fact = ck;
        }
        walk = ck.nextOffset();
    }
    return Status::Ok;
}

}  // namespace qoro::riff
