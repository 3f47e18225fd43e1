// libFuzzer harness for the signature probe: the ID3v2 skip, every row's
// signature test, the AC-3/E-AC-3 and ADTS frame confirmation. Besides "no
// crash, no read outside the input", it checks what must hold for any input:
// the same kind from memory and from a file; no read of more than a few
// hundred bytes and no more reads than the tags in a row and one frame ask;
// a kind that has its row and its words; and the same kind behind one more
// ID3v2 tag (every offset is taken from where the tags end).
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "probe/signature.h"

namespace probe = qoro::probe;

namespace {

using qoro::fuzz::require;

// A memory source that checks the size of every read and counts them.
class CheckedSource final : public probe::ByteSource {
public:
    explicit CheckedSource(std::span<const uint8_t> bytes) : memory_(bytes) {}
    uint64_t size() const override { return memory_.size(); }
    size_t readAt(uint64_t offset, uint8_t* out, size_t n) const override {
        require(n <= probe::kMaxRead);
        ++reads;
        return memory_.readAt(offset, out, n);
    }
    mutable size_t reads = 0;

private:
    probe::MemorySource memory_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qoro::fuzz::MemoryFile file("qoro-probe-fuzz");
    const std::span<const uint8_t> bytes(data, size);

    CheckedSource source(bytes);
    const probe::Kind kind = probe::identify(source);
    // The ID3v2 skip reads 10 bytes a tag (256 tags at most), then the
    // window and at most one more frame header.
    require(source.reads <= 256 + 2);
    require(probe::identify(bytes) == kind);

    file.set(data, size);
    require(probe::identify(file.path()) == kind);

    const probe::KindInfo* row = probe::info(kind);
    require((kind == probe::Kind::None) == (row == nullptr));
    require(probe::refusal(kind).empty() == (kind == probe::Kind::None));
    if (row) require(row->kind == kind && !row->name.empty());

    // Behind one more tag (when the input opens with none of its own, so the
    // bound on tags in a row is not what decides).
    if (size < 3 || std::memcmp(data, "ID3", 3) != 0) {
        std::vector<uint8_t> tagged = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0};
        tagged.insert(tagged.end(), data, data + size);
        require(probe::identify(tagged) == kind);
    }
    return 0;
}
