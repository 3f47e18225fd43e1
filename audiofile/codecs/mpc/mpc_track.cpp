#include "mpc_track.h"

namespace qoro::audiofile {

int16_t openMpc(const OpenRequest& /*request*/, std::unique_ptr<Track>& /*track*/) {
    return status::kFormatNotSupport;
}

}  // namespace qoro::audiofile
