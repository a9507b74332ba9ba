#include "report.h"

#include <cstdarg>
#include <cstdio>

namespace gateway {

void Log(const char *pszFormat, ...) {
    char text[1024];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(text, sizeof text, pszFormat, args);
    va_end(args);
    // One call per line, so that lines of several threads never mix.
    std::fprintf(stderr, "rovod-gateway: %s\n", text);
}

}  // namespace gateway
