// Start, pause, restart and stop of the acquisition, and the acquisition thread that reads the
// stream channel into the block ring.
#pragma once

#include <cstdint>

namespace qx {

int32_t start_acquisition(void *window);
int32_t stop_acquisition();
int32_t pause_acquisition();
int32_t restart_acquisition();
uint32_t get_blocks_transferred();

// Read time-out on the stream channel: a stop or pause takes effect within about this long,
// even when the device has fallen silent.
constexpr uint32_t kStreamReadTimeoutMs = 200;
constexpr uint32_t kStreamWriteTimeoutMs = 1000;
// Priming gives up after this many reads in a row that bring nothing.
constexpr int kPrimingEmptyReads = 10;

// For tests: how often the acquisition thread has realigned the stream after an overrun.
uint32_t realignments_for_test();
// For tests: the count a start gives `blocks_transferred` (0 unless a test presets it).
void set_start_block_count_for_test(uint32_t count);

}  // namespace qx
