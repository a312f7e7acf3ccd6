// PulseAudio backend of the device watch (also what PipeWire serves through
// its PulseAudio protocol). It follows the helper's one sound-server
// connection, which also reports the server going away and coming back as
// changes of the lists; that connection's thread only posts to the engine
// queue and never runs the listener itself.
#include <atomic>
#include <memory>
#include <utility>

#include "platform/audio_watch/audio_device_watch.h"
#include "platform/sound_server/pulse_connection.h"

namespace tavirel::platform {
namespace {

class PulseDeviceWatch final : public AudioDeviceWatch {};

// A burst of changes (a new sink brings its monitor source along) becomes one
// run of the listener when the queue is busy; a change arriving while the
// listener runs still gets a run of its own.
struct CoalescedPost {
  dispatch::SerialQueue& queue;
  std::function<void()> onChange;
  std::atomic<bool> pending{false};

  void operator()() {
    if (pending.exchange(true)) return;
    queue.post([this] {
      pending.store(false);
      onChange();
    });
  }
};

}  // namespace

std::unique_ptr<AudioDeviceWatch> AudioDeviceWatch::install(dispatch::SerialQueue& queue,
                                                            std::function<void()> onChange) {
  // Lives as long as the connection, which is the process.
  auto* post = new CoalescedPost{queue, std::move(onChange)};
  PulseConnection& connection = PulseConnection::instance();
  connection.start();
  connection.addListener([post] { (*post)(); });
  return std::make_unique<PulseDeviceWatch>();
}

}  // namespace tavirel::platform
