#pragma once

#include <chrono>

// Sleeps `duration` in the calling thread. Prescribed pauses of the box's
// conversations are short (5 ms between record bytes): on Linux the kernel's
// default timer slack would let each run up to 50 us long, and the box would
// wait for the tool, so the slack is lowered for the sleep.
void precise_sleep(std::chrono::microseconds duration);
