// The clock of the whole program.
#pragma once

// Milliseconds of CLOCK_MONOTONIC: the clock of every deadline, and of every
// time the status table holds.
[[nodiscard]] long long monotonic_ms();
