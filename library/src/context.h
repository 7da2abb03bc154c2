// The device context and the process-wide state of the library. All static: nothing here is
// allocated after load.
#pragma once

#include <atomic>
#include <cstdint>

#include "../platform/platform.h"
#include "ftd2xx.h"
#include "schedule.h"

namespace qx {

struct DeviceContext {
  Schedule schedule;  // rate_divisor ... boundary_block
  void *host_window;
};

extern DeviceContext device_context;
extern ChannelScale channel_scale;
// The schedule's divisions as reciprocals, rebuilt with it; the single read uses them.
extern ScheduleDivisions schedule_divisions;

extern FT_STATUS control_status;
extern FT_HANDLE control_handle;
extern FT_STATUS stream_status;
extern FT_HANDLE stream_handle;

// Shared between the host's thread and the acquisition thread.
extern std::atomic<uint8_t> pause_flag;
extern std::atomic<uint8_t> running;
extern std::atomic<uint32_t> blocks_transferred;
// An acquisition thread exists that has not finished with the events (set by the acquisition).
extern std::atomic<bool> acquisition_thread_alive;

alignas(64) extern uint8_t block_ring[kRingBlocks][kBlockBytes];

extern platform::Event *stopped_event;
extern platform::Event *restart_event;
// False when the events could not be created at load: the library then refuses to start.
extern bool library_ready;

// Creates the events and resets the state; false, with nothing left allocated, when an event
// cannot be created.
bool library_attach();
void library_detach();

// Fields that the acquisition thread reads while the host may rebuild the schedule.
inline int32_t shared_frame_length() {
  return std::atomic_ref<int32_t>(device_context.schedule.frame_length)
      .load(std::memory_order_relaxed);
}
inline int32_t shared_divisor(int32_t channel) {
  if (channel < 0 || channel >= kChannels) return 0;
  return std::atomic_ref<int32_t>(device_context.schedule.rate_divisor[channel])
      .load(std::memory_order_relaxed);
}
// Installs a schedule built elsewhere, publishing the shared fields as whole values.
void publish_schedule(const Schedule &built, const ChannelScale &scale);

}  // namespace qx
