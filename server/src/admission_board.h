// The master's verdicts on new connections, handed to the worker that asked: one word per
// worker slot in memory shared by the server's own processes (mapped before the first fork),
// which the worker waits on with a futex.
#pragma once

#include <cstdint>

#include "address_limits.h"

// Maps the board; false when the memory cannot be had.
bool open_admission_board();
void close_admission_board();

// In a worker, before it reports its connection: its slot's verdict is pending.
void expect_admission(int slot);
// In a worker: waits until the master has ruled on its slot, the server stops, or timeout_ms
// have passed (pending then).
admission await_admission(int slot, int timeout_ms);
// In the master: rules on a slot and wakes its worker.
void give_admission(int slot, admission verdict);
