#include "base/ended.h"

namespace zev {

std::atomic<uint32_t> bEnded{0};

}  // namespace zev
