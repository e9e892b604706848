// The few trace lines the daemon writes to standard output ("Capability Value: ...", the set
// confirmation lines). They must never hold up the exchange: a standard output that nobody reads
// (a full pipe, a stopped terminal) loses lines instead, and the loss is counted and logged.
#pragma once

#include <cstdint>

// Writes `text` and a line end to standard output unless that would block.
void stdoutLine(const char* text);
// Lines lost so far because standard output could not take them.
uint64_t stdoutLinesDropped();
