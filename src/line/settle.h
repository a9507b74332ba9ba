// Late replies: a reply names no element and an acknowledge no write, so the
// replies still owed by attempts that gave up are waited out before the next
// transaction, and until the line is known to be in step again, a reply is
// only taken when no other input follows it.
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

// After a whole reply: true when it may be taken as this request's. In doubt,
// more input right behind it shows that the controller is answering earlier
// requests still (in turn, ours last): it is dropped and the line stays in
// doubt.
bool ReplyStandsAlone(DriverContext *pContext);

}  // namespace zev
