// The amplifier's rates, the rate list as people type it, and how many samples a recording of a
// given length takes: one answer for every host.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>

namespace qx470reader {

constexpr int kChannels = 4;
// Rates the amplifier runs at, in kS/s per channel.
constexpr int kKnownRates[] = {100, 50, 20, 10, 5, 2, 1};
// Words in one block of the library's ring, shared by the channels that are on.
constexpr int kWordsPerBlock = 16384;
// A channel's target when the recording has no end.
constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();

// kS/s by library channel 0..3, 0 for a channel that is off.
using Rates = std::array<int, kChannels>;

bool is_supported_rate(int rate_ks);

// Text as the rate list and the recorder's lengths take it: digits only, at most 15 (so that
// every product with a rate or a unit stays below 2^64); and ASCII letters in lower case.
bool whole_number(const std::string &digits, uint64_t &value);
std::string lower_case(std::string text);

// "1=100,2=10,3=off": channels 1 to 4, rates in kS/s or off; channels not named are off. Returns
// an empty string and sets `rates`, or the message (which quotes what was typed).
std::string parse_rates(const std::string &list, Rates &rates);

// Samples each channel is to take: `seconds` of every channel, or `samples` of the fastest and
// the others in proportion (rounded down), or kUnbounded when both are 0; 0 for channels that are
// off. Returns an empty string, or the message when both are given or one is out of range.
std::string sample_targets(const Rates &rates, double seconds, uint64_t samples,
                           std::array<uint64_t, kChannels> &targets);

// Real-time length of one ring block at these rates; 0 when no channel is on.
double block_seconds(const Rates &rates);

}  // namespace qx470reader
