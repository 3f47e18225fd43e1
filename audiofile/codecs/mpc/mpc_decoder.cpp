#include "mpc_decoder.h"

namespace qoro::mpc {

struct MpcDecoder::State {
    MpcStreamInfo info;
};

MpcDecoder::MpcDecoder() : s_(std::make_unique<State>()) {}
MpcDecoder::~MpcDecoder() = default;
int MpcDecoder::open(const std::string& /*path*/) { return -1; }
void MpcDecoder::close() {}
const MpcStreamInfo& MpcDecoder::info() const { return s_->info; }
int MpcDecoder::decodeFrame(uint8_t* /*out*/) { return 0; }
int64_t MpcDecoder::seekMs(int64_t /*ms*/) { return 0; }
int64_t MpcDecoder::positionMs() const { return 0; }
uint64_t MpcDecoder::filePosition() const { return 0; }
void MpcDecoder::setClippingPrevention(bool /*on*/) {}
void MpcDecoder::setSkipDamagedFrames(int /*skip*/) {}

}  // namespace qoro::mpc
