// The gateway's own messages: one line each on stderr (the journal, under
// systemd), "rovod-gateway: ..." as the other tools write theirs.
#pragma once

namespace gateway {

void Log(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));

}  // namespace gateway
