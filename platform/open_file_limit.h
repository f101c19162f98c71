// The process's limit on open descriptors (RLIMIT_NOFILE), which bounds how many fetches can
// run at once. Servers raise the soft limit to the hard one at start; so does the scanner.
#pragma once

#include <cstdint>

// Raises the soft limit to the hard one. Returns the soft limit in force afterwards (the old
// one when the system refuses the raise), or 0 when it cannot be read. Traces a refusal.
uint64_t RaiseOpenFileLimit();
