// No built-in simulator on Windows: the host needs --port COMn there.
#include "embed.h"

namespace rovod {

bool StartEmbedded(const EmbeddedSim &, std::string *, std::string *pError) {
    *pError = "no built-in simulator on this platform: give --port (e.g. --port COM1)";
    return false;
}

void StopEmbedded() {}

}  // namespace rovod
