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

  // Subscribes to changes of the output and input device lists, for the
  // life of the process; after each change, `onChange` is posted to `queue`
  // (never run on the watcher's own thread). The sound server going away and
  // coming back count as changes: its devices go, then come back. Returns
  // null when the platform has no sound server to follow.
  static std::unique_ptr<AudioDeviceWatch> install(dispatch::SerialQueue& queue,
                                                   std::function<void()> onChange);
};

}  // namespace tavirel::platform
