#include "platform/sound_server/engine_sound_server.h"

#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/msfilter.h>
#include <mediastreamer2/msinterfaces.h>
#include <mediastreamer2/msticker.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sound_server/card_plan.h"
#include "platform/sound_server/pulse_connection.h"

namespace tavirel::platform {
namespace {

constexpr const char* kDriverType = "PulseAudio";  // card ids read "PulseAudio: <name>"
// A path that can never be a socket: connecting fails at once.
constexpr const char* kNoServer = "unix:/dev/null/no-sound-server";
// A stream that could not be opened is tried again after this long, so a
// missing device costs one attempt every half second, not one per tick.
constexpr std::uint64_t kReopenAfterMs = 500;
// Playback keeps this much queued at the server: enough for a 20 ms packet
// arriving late, little enough to keep the mouth-to-ear delay low.
constexpr pa_usec_t kPlaybackLatencyUsec = 60 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kCaptureFragmentUsec = 20 * PA_USEC_PER_MSEC;
// Silence made up while capture has no stream, at most this much per tick.
constexpr std::uint64_t kLongestSilenceMs = 100;
constexpr auto kDeviceReadWait = std::chrono::milliseconds(500);

struct CardDevices {
  std::string sink;
  std::string source;
};

enum class Direction { playback, capture };

// One filter's stream. The stream pointer is used only under the
// connection's loop lock; no callback is set on it, so dropping it never
// races with one.
struct Stream {
  explicit Stream(Direction d) : direction(d) {}

  const Direction direction;
  std::string device;
  pa_sample_spec spec{PA_SAMPLE_S16LE, 8000, 1};
  std::atomic<float> volume{-1.0f};  // below 0: never set
  bool volumeApplied = true;

  pa_stream* stream = nullptr;  // loop lock
  bool attempted = false;
  std::uint64_t lastAttemptMs = 0;

  // Capture only. The ticker keeps the system's clock rather than following
  // the card's: a stream that is reopened after an outage would otherwise
  // slow the whole graph down while its first samples trickle in.
  bool streaming = false;
  std::uint64_t silenceSinceMs = 0;
  std::uint64_t silenceSamples = 0;
};

Stream* streamOf(MSFilter* f) { return static_cast<Stream*>(f->data); }

extern MSSndCardDesc cardDesc;  // our cards, defined below

void dropStream(Stream& s) {
  if (!s.stream) return;
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream))) pa_stream_disconnect(s.stream);
  pa_stream_unref(s.stream);
  s.stream = nullptr;
}

void applyVolume(Stream& s, pa_context* context) {
  const float volume = s.volume.load();
  if (s.volumeApplied || volume < 0 || !s.stream || pa_stream_get_state(s.stream) != PA_STREAM_READY) return;
  pa_cvolume levels;
  pa_cvolume_set(&levels, s.spec.channels, static_cast<pa_volume_t>(volume * PA_VOLUME_NORM));
  const std::uint32_t index = pa_stream_get_index(s.stream);
  pa_operation* operation = s.direction == Direction::playback
                                ? pa_context_set_sink_input_volume(context, index, &levels, nullptr, nullptr)
                                : pa_context_set_source_output_volume(context, index, &levels, nullptr, nullptr);
  if (operation) pa_operation_unref(operation);
  s.volumeApplied = true;
}

// Loop lock held. Opens a stream when there is none and the server is up;
// never waits for it to become ready.
bool streamReady(Stream& s, const PulseConnection::Lock& lock, std::uint64_t nowMs) {
  if (s.stream) {
    const pa_stream_state_t state = pa_stream_get_state(s.stream);
    if (state == PA_STREAM_READY) {
      if (pa_context* context = lock.readyContext()) applyVolume(s, context);
      return true;
    }
    if (PA_STREAM_IS_GOOD(state)) return false;  // still being made
    dropStream(s);  // failed: the server went, or the device did
  }
  pa_context* context = lock.readyContext();
  if (!context || (s.attempted && nowMs - s.lastAttemptMs < kReopenAfterMs)) return false;
  s.attempted = true;
  s.lastAttemptMs = nowMs;

  s.stream = pa_stream_new(context, "phone", &s.spec, nullptr);
  if (!s.stream) return false;
  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  const char* device = s.device.empty() ? nullptr : s.device.c_str();
  int status;
  if (s.direction == Direction::playback) {
    attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kPlaybackLatencyUsec, &s.spec));
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    status = pa_stream_connect_playback(
        s.stream, device, &attributes,
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING),
        nullptr, nullptr);
  } else {
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kCaptureFragmentUsec, &s.spec));
    status = pa_stream_connect_record(s.stream, device, &attributes, PA_STREAM_ADJUST_LATENCY);
  }
  if (status < 0) dropStream(s);
  s.volumeApplied = false;
  return false;
}

// --- filters -------------------------------------------------------------------

void captureInit(MSFilter* f) { f->data = new Stream(Direction::capture); }
void playbackInit(MSFilter* f) { f->data = new Stream(Direction::playback); }

void streamUninit(MSFilter* f) {
  Stream* s = streamOf(f);
  {
    PulseConnection::Lock lock(PulseConnection::instance());
    dropStream(*s);
  }
  delete s;
}

void capturePreprocess(MSFilter* f) {
  Stream& s = *streamOf(f);
  s.streaming = false;
  s.silenceSinceMs = f->ticker->time;
  s.silenceSamples = 0;
}

void capturePostprocess(MSFilter* f) {
  PulseConnection::Lock lock(PulseConnection::instance());
  dropStream(*streamOf(f));
}

void playbackPostprocess(MSFilter* f) {
  PulseConnection::Lock lock(PulseConnection::instance());
  dropStream(*streamOf(f));
}

void putSilence(MSFilter* f, Stream& s) {
  const std::uint64_t now = f->ticker->time;
  if (now - s.silenceSinceMs > kLongestSilenceMs) {  // a stall: do not make up for it
    s.silenceSinceMs = now - kLongestSilenceMs;
    s.silenceSamples = 0;
  }
  const std::uint64_t due = (now - s.silenceSinceMs) * s.spec.rate / 1000;
  if (due <= s.silenceSamples) return;
  const std::size_t bytes = (due - s.silenceSamples) * s.spec.channels * sizeof(std::int16_t);
  s.silenceSamples = due;
  mblk_t* block = allocb(bytes, 0);
  std::memset(block->b_wptr, 0, bytes);
  block->b_wptr += bytes;
  ms_queue_put(f->outputs[0], block);
}

void captureProcess(MSFilter* f) {
  Stream& s = *streamOf(f);
  bool ready;
  {
    PulseConnection::Lock lock(PulseConnection::instance());
    ready = streamReady(s, lock, f->ticker->time);
    while (ready) {
      const std::size_t readable = pa_stream_readable_size(s.stream);
      if (readable == 0 || readable == static_cast<std::size_t>(-1)) break;
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(s.stream, &data, &bytes) < 0 || bytes == 0) break;
      if (data) {
        mblk_t* block = allocb(bytes, 0);
        std::memcpy(block->b_wptr, data, bytes);
        block->b_wptr += bytes;
        ms_queue_put(f->outputs[0], block);
      }
      pa_stream_drop(s.stream);
    }
  }
  if (ready) {
    s.streaming = true;
    return;
  }
  // No server, or the stream is still being made: the call goes on sending
  // silence at the right pace.
  if (s.streaming) {
    s.streaming = false;
    s.silenceSinceMs = f->ticker->time;
    s.silenceSamples = 0;
  }
  putSilence(f, s);
}

void playbackProcess(MSFilter* f) {
  Stream& s = *streamOf(f);
  PulseConnection::Lock lock(PulseConnection::instance());
  if (!streamReady(s, lock, f->ticker->time)) {
    ms_queue_flush(f->inputs[0]);
    return;
  }
  std::size_t writable = pa_stream_writable_size(s.stream);
  if (writable == static_cast<std::size_t>(-1)) writable = 0;
  while (mblk_t* message = ms_queue_get(f->inputs[0])) {
    for (mblk_t* block = message; block; block = block->b_cont) {
      const std::size_t bytes = std::min<std::size_t>(block->b_wptr - block->b_rptr, writable);
      // What does not fit is late already; playing it would only add delay.
      if (bytes > 0 && pa_stream_write(s.stream, block->b_rptr, bytes, nullptr, 0, PA_SEEK_RELATIVE) == 0)
        writable -= bytes;
    }
    freemsg(message);
  }
}

// The format can change only while no stream is open; a change drops the
// stream so the next one is opened with it.
int setFormat(MSFilter* f, std::uint32_t pa_sample_spec::*field, void* arg) {
  Stream& s = *streamOf(f);
  const int value = *static_cast<int*>(arg);
  if (value <= 0) return -1;
  PulseConnection::Lock lock(PulseConnection::instance());
  if (s.spec.*field != static_cast<std::uint32_t>(value)) dropStream(s);
  s.spec.*field = static_cast<std::uint32_t>(value);
  s.attempted = false;
  return 0;
}

int setRate(MSFilter* f, void* arg) { return setFormat(f, &pa_sample_spec::rate, arg); }
int getRate(MSFilter* f, void* arg) {
  *static_cast<int*>(arg) = static_cast<int>(streamOf(f)->spec.rate);
  return 0;
}
int setChannels(MSFilter* f, void* arg) {
  Stream& s = *streamOf(f);
  const int value = *static_cast<int*>(arg);
  if (value <= 0 || value > static_cast<int>(PA_CHANNELS_MAX)) return -1;
  PulseConnection::Lock lock(PulseConnection::instance());
  if (s.spec.channels != static_cast<unsigned>(value)) dropStream(s);
  s.spec.channels = static_cast<std::uint8_t>(value);
  s.attempted = false;
  return 0;
}
int getChannels(MSFilter* f, void* arg) {
  *static_cast<int*>(arg) = streamOf(f)->spec.channels;
  return 0;
}
int setVolume(MSFilter* f, void* arg) {
  Stream& s = *streamOf(f);
  s.volume.store(std::max(0.0f, *static_cast<float*>(arg)));
  PulseConnection::Lock lock(PulseConnection::instance());
  s.volumeApplied = false;
  return 0;
}
int getVolume(MSFilter* f, void* arg) {
  const float volume = streamOf(f)->volume.load();
  if (volume < 0) return -1;
  *static_cast<float*>(arg) = volume;
  return 0;
}

// The engine moves a running call to another card through these: the
// stream is dropped and the next tick opens one on the new device, so the
// call goes on without rebuilding its graph. A card of another driver, or
// one without that direction, is refused.
int moveTo(MSFilter* f, void* arg, const std::string CardDevices::*device) {
  const auto* card = static_cast<const MSSndCard*>(arg);
  if (card == nullptr || card->desc != &cardDesc || card->data == nullptr) return -1;
  const std::string& name = static_cast<const CardDevices*>(card->data)->*device;
  if (name.empty()) return -1;
  Stream& s = *streamOf(f);
  PulseConnection::Lock lock(PulseConnection::instance());
  if (s.device != name) {
    dropStream(s);
    s.device = name;
    s.attempted = false;
    s.volumeApplied = false;
  }
  return 0;
}

int moveCapture(MSFilter* f, void* arg) { return moveTo(f, arg, &CardDevices::source); }
int movePlayback(MSFilter* f, void* arg) { return moveTo(f, arg, &CardDevices::sink); }

MSFilterMethod captureMethods[] = {
    {MS_FILTER_SET_SAMPLE_RATE, setRate},
    {MS_FILTER_GET_SAMPLE_RATE, getRate},
    {MS_FILTER_SET_NCHANNELS, setChannels},
    {MS_FILTER_GET_NCHANNELS, getChannels},
    {MS_AUDIO_CAPTURE_SET_VOLUME_GAIN, setVolume},
    {MS_AUDIO_CAPTURE_GET_VOLUME_GAIN, getVolume},
    {MS_AUDIO_CAPTURE_SET_INTERNAL_ID, moveCapture},
    {0, nullptr},
};

MSFilterMethod playbackMethods[] = {
    {MS_FILTER_SET_SAMPLE_RATE, setRate},
    {MS_FILTER_GET_SAMPLE_RATE, getRate},
    {MS_FILTER_SET_NCHANNELS, setChannels},
    {MS_FILTER_GET_NCHANNELS, getChannels},
    {MS_AUDIO_PLAYBACK_SET_VOLUME_GAIN, setVolume},
    {MS_AUDIO_PLAYBACK_GET_VOLUME_GAIN, getVolume},
    {MS_AUDIO_PLAYBACK_SET_INTERNAL_ID, movePlayback},
    {0, nullptr},
};

MSFilterDesc captureDesc = {
    MS_FILTER_PLUGIN_ID, "TavirelPulseRead", "Sound input from the helper's sound-server connection",
    MS_FILTER_OTHER, nullptr, 0, 1, captureInit, capturePreprocess, captureProcess, capturePostprocess,
    streamUninit, captureMethods, 0,
};

MSFilterDesc playbackDesc = {
    MS_FILTER_PLUGIN_ID, "TavirelPulseWrite", "Sound output through the helper's sound-server connection",
    MS_FILTER_OTHER, nullptr, 1, 0, playbackInit, nullptr, playbackProcess, playbackPostprocess,
    streamUninit, playbackMethods, 0,
};

// --- cards ---------------------------------------------------------------------

void cardInit(MSSndCard* card) { card->data = new CardDevices; }
void cardUninit(MSSndCard* card) { delete static_cast<CardDevices*>(card->data); }

MSFilter* createFilter(MSSndCard* card, MSFilterDesc* desc, const std::string& device) {
  MSFilter* f = ms_factory_create_filter_from_desc(ms_snd_card_get_factory(card), desc);
  if (f) streamOf(f)->device = device;
  return f;
}

MSFilter* createReader(MSSndCard* card) {
  return createFilter(card, &captureDesc, static_cast<CardDevices*>(card->data)->source);
}

MSFilter* createWriter(MSSndCard* card) {
  return createFilter(card, &playbackDesc, static_cast<CardDevices*>(card->data)->sink);
}

void detectCards(MSSndCardManager* manager);

MSSndCardDesc cardDesc = [] {
  MSSndCardDesc desc{};
  desc.driver_type = kDriverType;
  desc.detect = detectCards;
  desc.init = cardInit;
  desc.create_reader = createReader;
  desc.create_writer = createWriter;
  desc.uninit = cardUninit;
  return desc;
}();

// Asks the server again, so a device plugged in just before it is chosen
// can be chosen, but waits only briefly: a frozen server leaves the devices
// as they were last read.
void detectCards(MSSndCardManager* manager) {
  for (const CardPlan& plan : planCards(PulseConnection::instance().freshDevices(kDeviceReadWait))) {
    MSSndCard* card = ms_snd_card_new(&cardDesc);
    card->name = ms_strdup(plan.name.c_str());
    auto* devices = static_cast<CardDevices*>(card->data);
    devices->sink = plan.sinkName;
    devices->source = plan.sourceName;
    card->capabilities = (plan.sinkName.empty() ? 0u : MS_SND_CARD_CAP_PLAYBACK) |
                         (plan.sourceName.empty() ? 0u : MS_SND_CARD_CAP_CAPTURE);
    ms_snd_card_manager_add_card(manager, card);
  }
}

}  // namespace

SoundServerHiddenFromEngine::SoundServerHiddenFromEngine() : environment_(soundServerEnvironmentMutex()) {
  if (const char* server = std::getenv("PULSE_SERVER")) {
    hadServer_ = true;
    server_ = server;
  }
  ::setenv("PULSE_SERVER", kNoServer, 1);
}

SoundServerHiddenFromEngine::~SoundServerHiddenFromEngine() {
  if (hadServer_)
    ::setenv("PULSE_SERVER", server_.c_str(), 1);
  else
    ::unsetenv("PULSE_SERVER");
}

void connectSoundServer(std::chrono::milliseconds limit) {
  PulseConnection& connection = PulseConnection::instance();
  connection.start();
  (void)connection.waitForFirstAttempt(limit);
}

void useHelperSoundCards(MSSndCardManager* manager) {
  for (bctbx_list_t* it = manager->descs; it;) {
    auto* desc = static_cast<MSSndCardDesc*>(it->data);
    it = it->next;  // unregistering frees this element
    if (desc != &cardDesc && desc->driver_type && std::strcmp(desc->driver_type, kDriverType) == 0)
      ms_snd_card_manager_unregister_desc(manager, desc);
  }
  PulseConnection::instance().start();
  ms_snd_card_manager_register_desc(manager, &cardDesc);
}

}  // namespace tavirel::platform
