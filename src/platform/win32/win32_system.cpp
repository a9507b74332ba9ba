// The win32 system: forwards to Windows.
#include "platform/system.h"
