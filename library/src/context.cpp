#include "context.h"

#include <cstring>

namespace qx {

DeviceContext device_context;
ChannelScale channel_scale;
ScheduleDivisions schedule_divisions;

FT_STATUS control_status;
FT_HANDLE control_handle;
FT_STATUS stream_status;
FT_HANDLE stream_handle;

std::atomic<uint8_t> pause_flag{0};
std::atomic<uint8_t> running{0};
std::atomic<uint32_t> blocks_transferred{0};
std::atomic<bool> acquisition_thread_alive{false};

alignas(64) uint8_t block_ring[kRingBlocks][kBlockBytes];

platform::Event *stopped_event;
platform::Event *restart_event;
bool library_ready;

bool library_attach() {
  stopped_event = platform::event_create();
  restart_event = platform::event_create();
  library_ready = stopped_event && restart_event;
  if (!library_ready) {
    library_detach();
    return false;
  }

  running.store(0);
  blocks_transferred.store(0);
  Schedule &s = device_context.schedule;
  s.frame_length = 0;
  s.cycle_blocks = 0;
  s.boundary_block = 0;
  stream_handle = nullptr;
  for (int c = 0; c < kChannels; ++c) {
    s.rate_divisor[c] = 0;
    s.channel_slots[c] = 0;
    for (int i = 0; i < 100; ++i) s.slot_table[c][i] = 0;
  }
  schedule_divisions = divisions_of(s);
  std::memset(block_ring, 0, sizeof block_ring);
  return true;
}

void library_detach() {
  library_ready = false;
  // A host that exits without stopping leaves the acquisition thread running through the exit
  // handlers: its events stay, as the thread may still be waiting on one.
  if (acquisition_thread_alive.load(std::memory_order_acquire)) return;
  platform::event_destroy(stopped_event);
  platform::event_destroy(restart_event);
  stopped_event = restart_event = nullptr;
  library_ready = false;
}

void publish_schedule(const Schedule &built, const ChannelScale &scale) {
  Schedule &s = device_context.schedule;
  for (int c = 0; c < kChannels; ++c) {
    std::atomic_ref<int32_t>(s.rate_divisor[c])
        .store(built.rate_divisor[c], std::memory_order_relaxed);
    s.channel_slots[c] = built.channel_slots[c];
    s.sample_modulus[c] = built.sample_modulus[c];
    std::memcpy(s.slot_table[c], built.slot_table[c], sizeof s.slot_table[c]);
    channel_scale[c] = scale[c];
  }
  std::atomic_ref<int32_t>(s.frame_length).store(built.frame_length, std::memory_order_relaxed);
  s.cycle_blocks = built.cycle_blocks;
  s.cycle_words = built.cycle_words;
  store_boundary(s, built.boundary_block);
  schedule_divisions = divisions_of(built);
}

}  // namespace qx
