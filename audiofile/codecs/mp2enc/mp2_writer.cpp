#include "mp2_writer.h"

namespace qoro::audiofile {

int16_t createMp2(const CreateRequest& /*request*/, std::unique_ptr<Track>& /*track*/) {
    return status::kFormatNotSupport;
}

}  // namespace qoro::audiofile
