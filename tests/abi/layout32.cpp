// Compiled with -m32 by the test command: the host's 32-bit record offsets
// (asserted in the header) and the working block's size on that target.
#include "base/context.h"
#include "zedadad/zedadad.h"

static_assert(sizeof(void *) == 4, "this check is meant for a 32-bit target");
static_assert(sizeof(zev::DriverContext) <= zev::kContextSize, "working block");

int main() { return 0; }
