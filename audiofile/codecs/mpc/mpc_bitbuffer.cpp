#include "mpc_bitbuffer.h"

#include <algorithm>
#include <cstring>

namespace qoro::mpc {

// peek() reads the word after the current one too; it is always in the
// buffer because the current word always lies in the first half.
BitBuffer::BitBuffer() : storage_(std::make_unique<uint32_t[]>(kWords)), words_(storage_.get()) {}
BitBuffer::~BitBuffer() = default;

bool BitBuffer::open(const std::string& path, uint64_t streamStart, uint64_t dataBytes) {
    close();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    fileHolder_.reset(f);
    std::setvbuf(f, nullptr, _IONBF, 0);
    if (std::fseek(f, 0, SEEK_END) != 0) {
        close();
        return false;
    }
    const long length = std::ftell(f);
    if (length < 0) {
        close();
        return false;
    }
    file_ = f;
    base_ = std::min(streamStart, uint64_t(length));
    fileBytes_ = uint64_t(length) - base_;
    fileWords_ = (fileBytes_ + 3) / 4;
    dataBits_ = std::min(dataBytes, fileBytes_) * 8;
    start_ = 0;
    word_ = 0;
    bit_ = 0;
    load(0, 0, kWords);
    headSize_ = uint32_t(std::min<uint64_t>(fileBytes_, sizeof head_));
    for (uint32_t i = 0; i < headSize_; ++i) head_[i] = uint8_t(words_[i / 4] >> (8 * (i % 4)));
    return true;
}

void BitBuffer::close() {
    fileHolder_.reset();
    file_ = nullptr;
    fileBytes_ = fileWords_ = dataBits_ = base_ = 0;
    word_ = start_ = 0;
    bit_ = 0;
    headSize_ = 0;
}

// Reads 'count' words from word 'firstWord' of the file into the ring from
// 'slot' on; what lies beyond the end of the file reads as zero.
void BitBuffer::load(uint64_t firstWord, uint32_t slot, uint32_t count) {
    uint32_t* dst = words_ + slot;
    std::memset(dst, 0, count * sizeof(uint32_t));
    if (!file_ || firstWord >= fileWords_) return;
    const uint64_t offset = firstWord * 4;
    const size_t bytes = size_t(std::min<uint64_t>(uint64_t(count) * 4, fileBytes_ - offset));
    if (std::fseek(file_, long(base_ + offset), SEEK_SET) != 0) return;
    uint8_t* raw = reinterpret_cast<uint8_t*>(dst);
    const size_t got = std::fread(raw, 1, bytes, file_);
    std::memset(raw + got, 0, count * 4 - got);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* b = raw + 4 * i;
        dst[i] = uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
    }
}

// Reading has crossed into the second half: it becomes the first, and the
// half just left takes the next 16 KB of the file.
void BitBuffer::refill() {
    const uint32_t leftSlot = uint32_t(start_ & (kWords - 1));
    start_ += kHalfWords;
    load(start_ + kHalfWords, leftSlot, kHalfWords);
}

void BitBuffer::seek(uint64_t bit) {
    // Positions far beyond the file all behave alike (zero bits).
    const uint64_t limit = (fileWords_ + 2) * 32;
    if (bit > limit) bit = limit;
    const uint64_t word = bit / 32;
    bit_ = uint32_t(bit % 32);
    if (word >= start_ && word < start_ + kWords) {
        word_ = word;
        if (word_ - start_ >= kHalfWords) refill();
        return;
    }
    start_ = word - word % kHalfWords;
    word_ = word;
    const uint32_t slot = uint32_t(start_ & (kWords - 1));
    load(start_, slot, kWords - slot);
    if (slot != 0) load(start_ + (kWords - slot), 0, slot);
}

}  // namespace qoro::mpc
