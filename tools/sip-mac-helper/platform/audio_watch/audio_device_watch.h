// Watching the platform's list of audio devices. On Linux the sound server is
// PulseAudio (or PipeWire speaking its protocol); another platform's backend
// can be a file beside the Linux one.
#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/dispatch.h"

namespace tavirel::platform {

class AudioDeviceWatch {
 public:
  virtual ~AudioDeviceWatch() = default;

  // Subscribes to changes of the output and input device lists; after each
  // change, `onChange` is posted to `queue` (never run on the watcher's own
  // thread). Returns null when no sound server can be reached or subscribed;
  // the caller then runs on without hot-plug tracking.
  static std::unique_ptr<AudioDeviceWatch> install(dispatch::SerialQueue& queue,
                                                   std::function<void()> onChange);
};

}  // namespace tavirel::platform
