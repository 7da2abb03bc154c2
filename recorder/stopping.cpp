#include "stopping.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace qx470rec {

bool stop_reader(qx470reader::ContinuousReader &reader,
                 const std::function<bool(double waited)> &leave) {
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  std::thread stopper([&reader, stopped] {
    reader.stop();
    stopped->store(true);
  });
  const auto begun = std::chrono::steady_clock::now();
  while (!stopped->load()) {
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    if (leave(waited)) {
      stopper.detach();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stopper.join();
  return true;
}

}  // namespace qx470rec
