// The bit buffer of the MPEG Plus decoder: the stream is a sequence of 32-bit
// little-endian words read most significant bit first. 8192 words (32 KB) are
// held in two 16 KB halves; when reading crosses into the second half, the
// half just left is refilled with the next 16 KB of the file, so reading
// never waits for more than one half.
//
// Every read is bounds-checked: words beyond the end of the file read as zero
// bits, and overrun() tells that a read went past the end of the data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace qoro::mpc {

class BitBuffer {
public:
    static constexpr uint32_t kWords = 8192;
    static constexpr uint32_t kHalfWords = kWords / 2;

    BitBuffer();
    ~BitBuffer();
    BitBuffer(const BitBuffer&) = delete;
    BitBuffer& operator=(const BitBuffer&) = delete;

    // Opens the file for unbuffered reading and loads the first 32 KB of the
    // stream, which begins 'streamStart' bytes into the file (after any ID3v2
    // tags) and holds 'dataBytes' bytes (an ID3v1 tag after it is not part of
    // the stream). Positions count from the stream's start. False when the
    // file cannot be opened.
    bool open(const std::string& path, uint64_t streamStart, uint64_t dataBytes);
    // Where the stream begins in the file.
    uint64_t streamStart() const { return base_; }
    void close();
    bool isOpen() const { return file_ != nullptr; }

    // The bytes of the first 32 KB as read from the file (the header).
    const uint8_t* headBytes() const { return head_; }
    uint32_t headSize() const { return headSize_; }

    // Up to 24 bits without consuming them.
    uint32_t peek(int n) const {
        const uint64_t pair = (uint64_t(words_[word_ & (kWords - 1)]) << 32) | words_[(word_ + 1) & (kWords - 1)];
        return uint32_t((pair << bit_) >> (64 - n));
    }
    void skip(int n) {
        bit_ += uint32_t(n);
        if (bit_ >= 32) {
            bit_ -= 32;
            advanceWord();
        }
    }
    // Reads n bits, 0 <= n <= 24.
    uint32_t read(int n) {
        if (n == 0) return 0;
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }

    // Bit position in the stream (from the stream's start).
    uint64_t position() const { return uint64_t(word_) * 32 + bit_; }
    // Moves to an absolute bit position, reloading the buffer when needed.
    void seek(uint64_t bit);

    // True once the position went past the end of the data.
    bool overrun() const { return position() > dataBits_; }
    uint64_t dataBits() const { return dataBits_; }

private:
    void advanceWord() {
        ++word_;
        if (word_ - start_ >= kHalfWords) refill();
    }
    void refill();
    void load(uint64_t firstWord, uint32_t slot, uint32_t count);

    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> fileHolder_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<uint32_t[]> storage_;
    uint32_t* words_;
    uint8_t head_[32] = {};
    uint32_t headSize_ = 0;
    uint64_t word_ = 0;   // absolute index of the current word
    uint32_t bit_ = 0;    // 0 = most significant bit of the current word
    uint64_t start_ = 0;  // first word of the current half; the buffer holds [start_, start_ + kWords)
    uint64_t fileWords_ = 0;
    uint64_t fileBytes_ = 0;  // from the stream's start to the end of the file
    uint64_t base_ = 0;       // where the stream starts in the file
    uint64_t dataBits_ = 0;
};

}  // namespace qoro::mpc
