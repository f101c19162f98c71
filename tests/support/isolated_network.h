// Moves the whole test process into a network namespace of its own, so that nothing a test
// sends can reach the host's network. Inside it: loopback, and a veth pair whose two ends
// (kHostA on tv0, kHostB on tv1) are both local addresses, with multicast routed out of tv0.
#pragma once

#include <string>

inline constexpr char kHostA[] = "10.77.0.1";
inline constexpr char kHostB[] = "10.77.0.2";

// Call first thing in main, before any thread exists. Returns false with the reason when the
// process may not have a namespace of its own; it then must not touch the network at all.
bool IsolateNetwork(std::string* why);

// Whether IsolateNetwork succeeded in this process, and why not.
bool NetworkIsolated();
const std::string& IsolationFailure();
