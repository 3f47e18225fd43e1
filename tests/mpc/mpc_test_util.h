// Small helpers of the decoder tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mpc_decoder.h"

namespace qoro::mpc::testing {

// Decodes to the end; 'sizes' receives the bytes of every frame.
inline std::vector<int16_t> decodeAll(MpcDecoder& dec, std::vector<int>* sizes = nullptr) {
    std::vector<int16_t> pcm;
    std::vector<uint8_t> buf(MpcDecoder::kFrameBytes);
    while (int n = dec.decodeFrame(buf.data())) {
        for (int i = 0; i + 1 < n; i += 2) pcm.push_back(int16_t(buf[size_t(i)] | (buf[size_t(i) + 1] << 8)));
        if (sizes) sizes->push_back(n);
    }
    return pcm;
}

}  // namespace qoro::mpc::testing
