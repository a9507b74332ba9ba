// The control-signal file: line-signal masks, gap, switch delay,
// read-before-write and debug flag of an instance.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "zedadad/zedadad.h"

namespace zev {

constexpr size_t kIntFileNameSize = 16;

void ReadIntFile(ZevRequest *pRequest);
// Tries "<base><nn>.INT", "<base><n>.INT", "<base>.INT"; szName (16 bytes)
// holds the name of the file opened.
std::FILE *OpenIntFile(const char *pszBase, char *szName, uint32_t iInstance);
// Index of the word of the list found at *ppCursor (cursor moved past it), or -1.
int MatchKeyword(char **ppCursor, std::span<const char *const> words, char cSeparator);

}  // namespace zev
