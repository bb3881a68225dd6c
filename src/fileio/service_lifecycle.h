// Start, run and stop of a board's file-I/O service thread.
#pragma once

#include "hbsys9u.h"

#include <cstdint>

namespace hb {

// The service thread's entry function: waits for the board's request event
// and dispatches one request per wake-up until its stop flag is raised.
uint32_t fileIoServiceLoop(void* board, volatile int32_t* stopFlag);

// Sets the board's request event (the wake function of the thread's stop).
void wakeServiceThread(void* board);

// Takes one slot's service down: deregisters event 6, stops the thread,
// releases events and lists. Open descriptors and searches stay open.
void releaseFileIoBoard(const AcceleratorBoard* board);

} // namespace hb
