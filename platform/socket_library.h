// Start-up of the socket library. POSIX sockets need none, so it cannot fail here; the
// program still asks, so that the failure path stays in one place for systems that do.
#pragma once

// True when sockets can be used.
inline bool StartSocketLibrary() { return true; }
