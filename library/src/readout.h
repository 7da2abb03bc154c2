// Single samples, runs and trigger searches out of the block ring, and the current position.
// None of them waits, locks or changes any state of the library.
#pragma once

#include <cstdint>

namespace qx {

constexpr int32_t kNothingTransferred = -1;
constexpr int32_t kChannelOff = -2;
constexpr int32_t kNotYetAvailable = -3;
constexpr int32_t kNoLongerAvailable = -4;

int32_t get_data_point(int32_t channel, uint32_t sample);
int32_t get_data_samples(int32_t *values, int32_t channel, uint32_t first, int32_t count);
int32_t get_trigger(int32_t *values, int32_t channel, uint32_t first, int32_t count, int32_t type,
                    int32_t level);
int32_t get_current_data_point(int32_t channel);

}  // namespace qx
