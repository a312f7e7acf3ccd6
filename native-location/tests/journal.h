// A test's record of what ran on a queue's thread, and on which thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavirel::location {

// Collects labels from the queue thread; wait() returns once `count` have
// arrived or the deadline passed.
class Journal {
 public:
  void add(std::string label) {
    std::lock_guard lock(mutex_);
    labels_.push_back(std::move(label));
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  }
  [[nodiscard]] bool wait(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return labels_.size() >= count; });
  }
  std::vector<std::string> labels() {
    std::lock_guard lock(mutex_);
    return labels_;
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> labels_;
  std::vector<std::thread::id> threads_;
};

}  // namespace tavirel::location
