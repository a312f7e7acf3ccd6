#include "platform/sound_server/pulse_connection.h"


namespace tavirel::platform {
namespace {

constexpr auto kFirstRetry = std::chrono::milliseconds(100);
constexpr auto kLongestRetry = std::chrono::milliseconds(2000);
// A local server answers in milliseconds; one that accepted the socket and
// says nothing for this long is frozen (stopped, or stuck), and we try again.
constexpr auto kConnectTimeout = std::chrono::milliseconds(3000);

timeval inFromNow(std::chrono::milliseconds delay) {
  timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(delay.count()) * PA_USEC_PER_MSEC);
  return when;
}

ServerDevices fromIndexOrder(const std::map<std::uint32_t, ServerDevice>& sinks,
                             const std::map<std::uint32_t, ServerDevice>& sources) {
  ServerDevices devices;
  for (const auto& [index, sink] : sinks) devices.sinks.push_back(sink);
  for (const auto& [index, source] : sources) devices.sources.push_back(source);
  return devices;
}

}  // namespace

std::mutex& soundServerEnvironmentMutex() {
  static std::mutex mutex;
  return mutex;
}

PulseConnection& PulseConnection::instance() {
  static PulseConnection* connection = new PulseConnection;  // never destroyed, see the header
  return *connection;
}

std::chrono::milliseconds PulseConnection::retryDelay(int failedAttempts) {
  auto delay = kFirstRetry;
  for (int i = 1; i < failedAttempts && delay < kLongestRetry; ++i) delay *= 2;
  return std::min(delay, kLongestRetry);
}

void PulseConnection::start() {
  {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
  }
  loop_ = pa_threaded_mainloop_new();
  pa_threaded_mainloop_start(loop_);
  pa_threaded_mainloop_lock(loop_);
  connect();
  pa_threaded_mainloop_unlock(loop_);
}

bool PulseConnection::waitForFirstAttempt(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  settled_.wait_for(lock, limit, [this] { return firstSettled_; });
  return connected_;
}

ServerDevices PulseConnection::devices() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

ServerDevices PulseConnection::freshDevices(std::chrono::milliseconds limit) {
  std::uint64_t before;
  {
    std::lock_guard lock(mutex_);
    before = readsDone_;
  }
  {
    Lock loop(*this);
    if (!loop.readyContext()) return devices();
    readDevices();
  }
  std::unique_lock lock(mutex_);
  settled_.wait_for(lock, limit, [&] { return readsDone_ != before || !connected_; });
  return devices_;
}

bool PulseConnection::connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

void PulseConnection::addListener(std::function<void()> listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(std::move(listener));
}

PulseConnection::Lock::Lock(PulseConnection& connection) : connection_(connection) {
  connection_.start();
  pa_threaded_mainloop_lock(connection_.loop_);
}

PulseConnection::Lock::~Lock() { pa_threaded_mainloop_unlock(connection_.loop_); }

pa_context* PulseConnection::Lock::readyContext() const {
  pa_context* context = connection_.context_;
  return context && pa_context_get_state(context) == PA_CONTEXT_READY ? context : nullptr;
}

void PulseConnection::connect() {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  {
    // libpulse reads the server's address from the environment here; keep
    // out of the window in which the engine is started without one.
    std::lock_guard environment(soundServerEnvironmentMutex());
    context_ = pa_context_new(api, "tavirel-sip-helper");
    if (context_) {
      pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);
      // Never start a server of our own.
      if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        connectionFailed();
        return;
      }
    }
  }
  if (!context_) {
    connectionFailed();
    return;
  }
  const timeval deadline = inFromNow(kConnectTimeout);
  connectTimeout_ = api->time_new(api, &deadline, &PulseConnection::onConnectTimeout, this);
}

void PulseConnection::connectionFailed() {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  if (connectTimeout_) {
    api->time_free(connectTimeout_);
    connectTimeout_ = nullptr;
  }
  if (context_) {
    // The context may be in its own callback here; it holds a reference of
    // its own until that returns.
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  listsPending_ = 0;
  rereadWanted_ = false;
  sinksRead_.clear();
  sourcesRead_.clear();
  ++failedAttempts_;
  {
    std::lock_guard lock(mutex_);
    connected_ = false;
  }
  publish({}, false);
  settleFirstAttempt();
  scheduleRetry();
}

void PulseConnection::scheduleRetry() {
  if (retryEvent_) return;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  const timeval when = inFromNow(retryDelay(failedAttempts_));
  retryEvent_ = api->time_new(api, &when, &PulseConnection::onRetry, this);
}

void PulseConnection::readDevices() {
  if (!context_) return;
  if (listsPending_ > 0) {
    rereadWanted_ = true;
    return;
  }
  sinksRead_.clear();
  sourcesRead_.clear();
  defaultSinkRead_.clear();
  defaultSourceRead_.clear();
  listsPending_ = 3;
  if (pa_operation* sinks = pa_context_get_sink_info_list(context_, &PulseConnection::onSinkInfo, this))
    pa_operation_unref(sinks);
  else
    --listsPending_;
  if (pa_operation* sources = pa_context_get_source_info_list(context_, &PulseConnection::onSourceInfo, this))
    pa_operation_unref(sources);
  else
    --listsPending_;
  if (pa_operation* server = pa_context_get_server_info(context_, &PulseConnection::onServerInfo, this))
    pa_operation_unref(server);
  else
    --listsPending_;
}

void PulseConnection::publish(ServerDevices devices, bool read) {
  std::vector<std::function<void()>> listeners;
  {
    std::lock_guard lock(mutex_);
    if (read) ++readsDone_;
    if (devices != devices_) {
      devices_ = std::move(devices);
      listeners = listeners_;
    }
  }
  settled_.notify_all();
  for (const auto& listener : listeners) listener();
}

void PulseConnection::settleFirstAttempt() {
  {
    std::lock_guard lock(mutex_);
    if (firstSettled_) return;
    firstSettled_ = true;
  }
  settled_.notify_all();
}

void PulseConnection::onContextState(pa_context* context, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
      if (connection->connectTimeout_) {
        pa_threaded_mainloop_get_api(connection->loop_)->time_free(connection->connectTimeout_);
        connection->connectTimeout_ = nullptr;
      }
      connection->failedAttempts_ = 0;
      {
        std::lock_guard lock(connection->mutex_);
        connection->connected_ = true;
      }
      pa_context_set_subscribe_callback(context, &PulseConnection::onServerEvent, self);
      const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                                            PA_SUBSCRIPTION_MASK_SERVER);
      if (pa_operation* subscribed = pa_context_subscribe(context, mask, nullptr, nullptr))
        pa_operation_unref(subscribed);
      connection->readDevices();
      break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      connection->connectionFailed();
      break;
    default:
      break;
  }
}

// Only devices appearing or going away change the lists: volume, port and
// running/suspended changes also arrive as sink and source events (every
// call start suspends and resumes a sink). A server event is a change of
// its defaults (among others); a read that finds them as they were
// publishes nothing.
void PulseConnection::onServerEvent(pa_context*, pa_subscription_event_type_t event, uint32_t, void* self) {
  const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  const bool devices = (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) &&
                       (kind == PA_SUBSCRIPTION_EVENT_NEW || kind == PA_SUBSCRIPTION_EVENT_REMOVE);
  if (!devices && facility != PA_SUBSCRIPTION_EVENT_SERVER) return;
  static_cast<PulseConnection*>(self)->readDevices();
}

void PulseConnection::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  if (info) {
    connection->defaultSinkRead_ = info->default_sink_name ? info->default_sink_name : "";
    connection->defaultSourceRead_ = info->default_source_name ? info->default_source_name : "";
  }
  connection->listRead();
}

void PulseConnection::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  if (eol == 0 && info) {
    connection->sinksRead_[info->index] = {info->name ? info->name : "", info->description ? info->description : ""};
    return;
  }
  connection->listRead();
}

void PulseConnection::onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  if (eol == 0 && info) {
    if (info->monitor_of_sink == PA_INVALID_INDEX)
      connection->sourcesRead_[info->index] = {info->name ? info->name : "",
                                               info->description ? info->description : ""};
    return;
  }
  connection->listRead();
}

void PulseConnection::listRead() {
  if (listsPending_ == 0 || --listsPending_ > 0) return;
  if (rereadWanted_) {
    rereadWanted_ = false;
    readDevices();
    return;
  }
  ServerDevices devices = fromIndexOrder(sinksRead_, sourcesRead_);
  devices.defaultSink = defaultSinkRead_;
  devices.defaultSource = defaultSourceRead_;
  publish(std::move(devices), true);
  settleFirstAttempt();
}

void PulseConnection::onRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  api->time_free(event);
  connection->retryEvent_ = nullptr;
  connection->connect();
}

void PulseConnection::onConnectTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                       void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  api->time_free(event);
  connection->connectTimeout_ = nullptr;
  if (connection->context_ && pa_context_get_state(connection->context_) != PA_CONTEXT_READY)
    connection->connectionFailed();
}

}  // namespace tavirel::platform
