// The engine's sound cards for the sound server, made by us.
//
// The engine's own sound-server module keeps one connection for the life of
// the process and never reconnects: once the server has gone, every stream it
// opens fails, and the engine then plays ring-back and call-end tones into
// half-made filters and crashes. It also waits without a limit for a server
// that accepted the socket but does not answer, which freezes whoever starts
// the engine or a call. Our cards use the helper's own connection
// (pulse_connection.h) instead: listing them reads the devices already known,
// and their filters open streams without waiting, play silence while there
// is no server, and open a fresh stream when the server is back.
#pragma once

#include <mediastreamer2/mssndcard.h>

#include <chrono>
#include <mutex>
#include <string>

namespace tavirel::platform {

// Starts the helper's sound-server connection and waits at most `limit` for
// its first attempt, so the devices are known when the engine starts; a
// frozen server costs INITIALIZE the limit, nothing more.
void connectSoundServer(std::chrono::milliseconds limit);

// Takes the engine's own sound-server module out of `manager` and puts our
// cards in; the caller then has the engine re-read its device table.
void useHelperSoundCards(MSSndCardManager* manager);

// While one lives, libpulse clients made in this process find no server, so
// the engine's own module gives up at once instead of connecting (or
// hanging on a frozen server) while the engine is created.
class SoundServerHiddenFromEngine {
 public:
  SoundServerHiddenFromEngine();
  ~SoundServerHiddenFromEngine();
  SoundServerHiddenFromEngine(const SoundServerHiddenFromEngine&) = delete;
  SoundServerHiddenFromEngine& operator=(const SoundServerHiddenFromEngine&) = delete;

 private:
  std::lock_guard<std::mutex> environment_;
  bool hadServer_ = false;
  std::string server_;
};

}  // namespace tavirel::platform
