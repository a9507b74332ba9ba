// Port names on Windows: COM names are the device's own, nothing to resolve.
#include "port.h"

namespace rovod {

std::string ResolvePort(const std::string &name) { return name; }

}  // namespace rovod
