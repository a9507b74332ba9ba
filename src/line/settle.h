// Late replies: a reply names no element and an acknowledge no write, so the
// replies still owed by attempts that gave up are waited out before the next
// transaction, and until the line is known to be in step again, a reply is
// only taken when no other frame follows it.
#pragma once

#include "base/context.h"

namespace zev {

inline bool LateRepliesOwed(const DriverContext *pContext) {
    return pContext->bLateBytes != 0 && pContext->bLateBytes != kLateInDoubt;
}

// Before the next request: drops input until the replies owed are in or the
// line has been quiet for a whole transaction's span; the line is then in
// doubt until a reply stands alone.
void SettleLine(DriverContext *pContext);

// In doubt, after a reply that passed its check: the first byte that follows
// it within a short quiet time, or -1 (also when not in doubt).
int ByteBehindReply(DriverContext *pContext);

}  // namespace zev
