#include <cstring>

#include "vst3/vst3_types.h"

namespace vst3 {

bool iid_equal(const TUID a, const TUID b) { return std::memcmp(a, b, 16) == 0; }

}  // namespace vst3
