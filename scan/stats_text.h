// The --stats text: one "name value" pair a line, names dotted and stable, every counter
// printed even when it stayed 0, so that scripts can rely on the names.
#pragma once

#include <string>

struct DiscoveryCounters;

std::string FormatStats(const DiscoveryCounters& counters);
