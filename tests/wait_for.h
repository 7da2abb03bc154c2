// Polling for a condition with a deadline, shared by every suite: generous by default so that
// sanitizers and a loaded machine never flake.
#pragma once

#include <chrono>
#include <thread>

namespace qxtest {

// Polls `pred` until it holds or `seconds` pass.
template <class Pred>
bool wait_for(Pred pred, double seconds = 20.0) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace qxtest
