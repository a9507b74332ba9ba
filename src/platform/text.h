// A line of text built piece by piece into a caller's buffer, for the
// systems' reasons of a failed open: what does not fit is cut.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace sys {

struct Text {
    char *psz;
    size_t cb;
    size_t n;
};

__attribute__((format(printf, 2, 3))) inline void Add(Text *pText, const char *pszFormat, ...) {
    if (pText->n + 1 >= pText->cb) return;
    va_list args;
    va_start(args, pszFormat);
    const int k = std::vsnprintf(pText->psz + pText->n, pText->cb - pText->n, pszFormat, args);
    va_end(args);
    if (k > 0) pText->n = std::min(pText->n + static_cast<size_t>(k), pText->cb - 1);
}

}  // namespace sys
