#include "platform/linux/geoclue_location_service.h"

#include <gio/gio.h>

#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/linux/geoclue_mapping.h"
#include "platform/linux/glib_idle_wait.h"

namespace tavirel::location {
namespace {

constexpr const char* kService = "org.freedesktop.GeoClue2";
constexpr const char* kManagerPath = "/org/freedesktop/GeoClue2/Manager";
constexpr const char* kManagerInterface = "org.freedesktop.GeoClue2.Manager";
constexpr const char* kClientInterface = "org.freedesktop.GeoClue2.Client";
constexpr const char* kLocationInterface = "org.freedesktop.GeoClue2.Location";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr guint32 kAccuracyExact = 8;
// For calls that wait on the user or on an agent that may never come: the
// request's own timeout is the limit, not GDBus's default of 25 s, which
// would turn a slow answer into an error.
constexpr gint kNoCallTimeout = G_MAXINT;
constexpr gint kDefaultCallTimeout = -1;

struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// GLib calls us from C: nothing may be thrown back through it.
template <typename F>
void guarded(const char* where, F&& body) noexcept {
  try {
    body();
  } catch (const std::exception& e) {
    writeDiagnosticLine(std::string(where) + " failed: " + e.what());
  } catch (...) {
    writeDiagnosticLine(std::string(where) + " failed with a non-standard exception");
  }
}

// Keeps the calls awaiting a reply on one connection under the bus's
// limit. The system bus refuses more than 128 per connection by default
// ("LimitsExceeded"), and all of a process's requests share the
// connection: 200 requests setting up at once would otherwise fail. Calls
// beyond the cap wait here in order and go out as replies come back. Calls
// sent without a reply handler are marked "no reply expected" and do not
// count.
class CallLimiter {
 public:
  static constexpr int kMaxAwaitingReply = 64;

  static CallLimiter& of(GDBusConnection* connection) {
    static const char* const key = "tavirel-call-limiter";
    auto* limiter = static_cast<CallLimiter*>(g_object_get_data(G_OBJECT(connection), key));
    if (limiter == nullptr) {
      limiter = new CallLimiter(connection);
      g_object_set_data_full(G_OBJECT(connection), key, limiter,
                             [](gpointer data) { delete static_cast<CallLimiter*>(data); });
    }
    return *limiter;
  }

  // Takes `parameters` (floating or not). `freeData` releases `data` if
  // the call is never sent (the connection went first).
  void call(const char* path, const char* interface, const char* method, GVariant* parameters,
            const GVariantType* replyType, gint timeout, GAsyncReadyCallback done, gpointer data,
            GDestroyNotify freeData) {
    Queued call{path, interface, method, parameters ? g_variant_ref_sink(parameters) : nullptr, replyType, timeout,
                done, data, freeData};
    if (awaiting_ < kMaxAwaitingReply) {
      send(std::move(call));
    } else {
      queued_.push_back(std::move(call));
    }
  }

  ~CallLimiter() {
    for (Queued& call : queued_) {
      if (call.parameters) g_variant_unref(call.parameters);
      call.freeData(call.data);
    }
  }
  CallLimiter(const CallLimiter&) = delete;
  CallLimiter& operator=(const CallLimiter&) = delete;

 private:
  struct Queued {
    std::string path, interface, method;
    GVariant* parameters;  // owned
    const GVariantType* replyType;
    gint timeout;
    GAsyncReadyCallback done;
    gpointer data;
    GDestroyNotify freeData;
  };
  struct InFlight {
    CallLimiter* limiter;  // lives as long as the connection, which the call holds
    GAsyncReadyCallback done;
    gpointer data;
  };

  explicit CallLimiter(GDBusConnection* connection) : connection_(connection) {}

  void send(Queued call) {
    ++awaiting_;
    g_dbus_connection_call(connection_, "org.freedesktop.GeoClue2", call.path.c_str(), call.interface.c_str(),
                           call.method.c_str(), call.parameters, call.replyType, G_DBUS_CALL_FLAGS_NONE,
                           call.timeout, nullptr, &CallLimiter::onDone, new InFlight{this, call.done, call.data});
    if (call.parameters) g_variant_unref(call.parameters);
  }

  static void onDone(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<InFlight> call(static_cast<InFlight*>(data));
    CallLimiter* limiter = call->limiter;
    // The connection stays alive while a limiter's call runs its handler:
    // the call's own reference is released only after this returns.
    --limiter->awaiting_;
    while (limiter->awaiting_ < kMaxAwaitingReply && !limiter->queued_.empty()) {
      Queued next = std::move(limiter->queued_.front());
      limiter->queued_.pop_front();
      limiter->send(std::move(next));
    }
    call->done(source, result, call->data);
  }

  GDBusConnection* const connection_;  // borrowed: the limiter is the connection's own data
  int awaiting_ = 0;
  std::deque<Queued> queued_;
};

// One private connection per bus address, shared by the thread's requests
// while it stays open. Private, not g_bus_get's shared connection: that one
// has exit-on-close set and would end the JVM when the bus goes away.
class Bus {
 public:
  // `connection` is borrowed (null on failure, with `error` set).
  using Ready = std::function<void(GDBusConnection* connection, const GError* error)>;

  explicit Bus(std::string address) : address_(std::move(address)) {}

  // Calls `ready` with the open connection, at once when there is one,
  // else once connecting has finished or failed.
  void withConnection(Ready ready) {
    if (connection_ != nullptr && !g_dbus_connection_is_closed(connection_)) {
      ready(connection_, nullptr);
      return;
    }
    waiting_.push_back(std::move(ready));
    if (connecting_) return;
    connecting_ = true;
    initGlibSocketsKeepingSigpipe();
    g_dbus_connection_new_for_address(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &Bus::onConnected, this);
  }

 private:
  // The bus object lives as long as its thread, so `this` is safe here.
  static void onConnected(GObject*, GAsyncResult* result, gpointer data) {
    auto* self = static_cast<Bus*>(data);
    GError* raw = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_finish(result, &raw);
    ErrorPtr error(raw);
    self->connecting_ = false;
    if (connection != nullptr) {
      if (self->connection_ != nullptr) g_object_unref(self->connection_);
      self->connection_ = connection;
      g_signal_connect(connection, "closed", G_CALLBACK(&Bus::onClosed), self);
    }
    std::vector<Ready> waiting = std::move(self->waiting_);
    self->waiting_.clear();
    for (Ready& ready : waiting) guarded("connecting to the location service", [&] { ready(connection, raw); });
  }

  static void onClosed(GDBusConnection* connection, gboolean, GError*, gpointer data) {
    auto* self = static_cast<Bus*>(data);
    if (self->connection_ != connection) return;
    // The emission holds its own reference; the next request connects anew.
    self->connection_ = nullptr;
    g_object_unref(connection);
  }

  const std::string address_;
  GDBusConnection* connection_ = nullptr;  // owned
  bool connecting_ = false;
  std::vector<Ready> waiting_;
};

Bus& busFor(const std::string& address) {
  // Per thread, like the GLib context the connections report to. Never
  // destroyed: the process's queue thread lives as long as the process.
  thread_local auto* buses = new std::map<std::string, Bus>;
  return buses->try_emplace(address, address).first->second;
}

// What the per-request service and its manager share: the manager decides
// that services count as off for this request, the driver asks the service.
struct ServiceState {
  bool enabled = true;
};

class GeoClue2Manager final : public LocationManager, public std::enable_shared_from_this<GeoClue2Manager> {
 public:
  GeoClue2Manager(Bus& bus, std::string desktopId, std::shared_ptr<ServiceState> state,
                  std::weak_ptr<LocationManagerDelegate> delegate)
      : bus_(bus), desktopId_(std::move(desktopId)), state_(std::move(state)), delegate_(std::move(delegate)) {}

  ~GeoClue2Manager() override {
    if (connection_ == nullptr) return;
    for (guint id : {ownerSubscription_, locationSubscription_, propertiesSubscription_}) {
      if (id != 0) g_dbus_connection_signal_unsubscribe(connection_, id);
    }
    if (closedHandler_ != 0) g_signal_handler_disconnect(connection_, closedHandler_);
    if (!clientPath_.empty()) deleteClient(connection_, clientPath_);
    g_object_unref(connection_);
  }
  GeoClue2Manager(const GeoClue2Manager&) = delete;
  GeoClue2Manager& operator=(const GeoClue2Manager&) = delete;

  void requestWhenInUseAuthorization() override {
    if (setupStarted_) return;
    setupStarted_ = true;
    // May run at once; onConnected then only sends calls, reporting nothing
    // from inside this method.
    bus_.withConnection([weak = weak_from_this()](GDBusConnection* connection, const GError* error) {
      if (auto self = weak.lock()) self->onConnected(connection, error);
    });
  }

  std::int32_t authorizationStatus() const override { return status_; }

  void startUpdatingLocation() override {
    updating_ = true;
    if (!stopped_) return;
    stopped_ = false;
    if (!clientPath_.empty() && !ended_) sendStart();
  }

  void stopUpdatingLocation() override {
    updating_ = false;
    if (stopped_) return;
    stopped_ = true;
    if (ended_ && !clientPath_.empty()) {
      // A reported failure ends the manager for good. GeoClue2 would bring
      // a client it deactivated itself back when the user switches
      // geolocation on again, whatever Stop it got meanwhile.
      deleteClient(connection_, clientPath_);
      clientPath_.clear();
    } else if (startSent_) {
      call(clientPath_.c_str(), kClientInterface, "Stop", nullptr, nullptr, kDefaultCallTimeout, nullptr);
      startSent_ = false;
    }
    running_ = false;
  }

  // Deletes a client nobody will use; fire and forget. Also for a client
  // whose CreateClient answered after its manager had gone.
  static void deleteClient(GDBusConnection* connection, const std::string& path) {
    g_dbus_connection_call(connection, kService, kManagerPath, kManagerInterface, "DeleteClient",
                           g_variant_new("(o)", path.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, kDefaultCallTimeout,
                           nullptr, nullptr, nullptr);
  }

 private:
  using Handler = void (GeoClue2Manager::*)(GVariant* reply, const GError* error);

  struct PendingCall {
    std::weak_ptr<GeoClue2Manager> self;
    Handler handler;  // null: the answer is of no interest
    bool answerIsNewClient;
  };

  // Every callback holds the manager strongly while it runs: a report to
  // the driver can end the request and drop the driver's reference.
  static void onCallDone(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingCall> pending(static_cast<PendingCall*>(data));
    GError* rawError = nullptr;
    VariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
    ErrorPtr error(rawError);
    auto self = pending->self.lock();
    if (!self) {
      if (pending->answerIsNewClient && reply) {
        const char* path = nullptr;
        g_variant_get(reply.get(), "(&o)", &path);
        deleteClient(G_DBUS_CONNECTION(source), path);
      }
      return;
    }
    if (pending->handler == nullptr) return;
    guarded("a location service reply", [&] { ((*self).*(pending->handler))(reply.get(), error.get()); });
  }

  // A null handler sends the call expecting no reply.
  void call(const char* path, const char* interface, const char* method, GVariant* parameters,
            const GVariantType* replyType, gint timeout, Handler handler, bool answerIsNewClient = false) {
    if (handler == nullptr && !answerIsNewClient) {
      g_dbus_connection_call(connection_, kService, path, interface, method, parameters, replyType,
                             G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, nullptr, nullptr);
      return;
    }
    CallLimiter::of(connection_)
        .call(path, interface, method, parameters, replyType, timeout, &GeoClue2Manager::onCallDone,
              new PendingCall{weak_from_this(), handler, answerIsNewClient},
              [](gpointer data) { delete static_cast<PendingCall*>(data); });
  }

  using SignalHandler = void (GeoClue2Manager::*)(GVariant* parameters);
  struct Subscription {
    std::weak_ptr<GeoClue2Manager> self;
    SignalHandler handler;
  };

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
    auto* subscription = static_cast<Subscription*>(data);
    auto self = subscription->self.lock();
    if (!self) return;
    guarded("a location service signal", [&] { ((*self).*(subscription->handler))(parameters); });
  }

  guint subscribe(const char* sender, const char* interface, const char* member, const char* path,
                  const char* arg0, SignalHandler handler) {
    return g_dbus_connection_signal_subscribe(
        connection_, sender, interface, member, path, arg0, G_DBUS_SIGNAL_FLAGS_NONE, &GeoClue2Manager::onSignal,
        new Subscription{weak_from_this(), handler},
        [](gpointer data) { delete static_cast<Subscription*>(data); });
  }

  void onConnected(GDBusConnection* connection, const GError* error) {
    if (connection == nullptr) {
      fail(geoclue::Step::connect, error);
      return;
    }
    if (ended_ || stopped_) return;
    connection_ = G_DBUS_CONNECTION(g_object_ref(connection));
    // Watched before the first call, so a service that leaves while that
    // call waits (for an agent, say) is noticed.
    ownerSubscription_ = subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                                   "/org/freedesktop/DBus", kService, &GeoClue2Manager::onServiceOwnerChanged);
    closedHandler_ = g_signal_connect_data(
        connection_, "closed", G_CALLBACK(&GeoClue2Manager::onConnectionClosed),
        new std::weak_ptr<GeoClue2Manager>(weak_from_this()),
        [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<GeoClue2Manager>*>(data); },
        GConnectFlags{});
    // CreateClient, not GetClient: GetClient hands every caller on one
    // connection the same client, and each request needs its own.
    call(kManagerPath, kManagerInterface, "CreateClient", nullptr, G_VARIANT_TYPE("(o)"), kNoCallTimeout,
         &GeoClue2Manager::onClientCreated, /*answerIsNewClient=*/true);
  }

  void onClientCreated(GVariant* reply, const GError* error) {
    if (error != nullptr) {
      fail(geoclue::Step::createClient, error);
      return;
    }
    const char* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    clientPath_ = path;
    if (ended_ || stopped_) return;
    // Subscribed before Start goes out (the bus handles our messages in
    // order), so the first fix, which may come before Start's answer, is
    // not missed.
    locationSubscription_ = subscribe(kService, kClientInterface, "LocationUpdated", path, nullptr,
                                      &GeoClue2Manager::onLocationUpdated);
    propertiesSubscription_ = subscribe(kService, kPropertiesInterface, "PropertiesChanged", path,
                                        kClientInterface, &GeoClue2Manager::onClientPropertiesChanged);
    // Sent back to back: the service handles them in order, so Start sees
    // every property set.
    setClientProperty("DesktopId", g_variant_new_string(desktopId_.c_str()));
    setClientProperty("RequestedAccuracyLevel", g_variant_new_uint32(kAccuracyExact));
    setClientProperty("DistanceThreshold", g_variant_new_uint32(0));
    setClientProperty("TimeThreshold", g_variant_new_uint32(0));
    sendStart();
  }

  void setClientProperty(const char* name, GVariant* value) {
    call(clientPath_.c_str(), kPropertiesInterface, "Set", g_variant_new("(ssv)", kClientInterface, name, value),
         nullptr, kDefaultCallTimeout, &GeoClue2Manager::onClientPropertySet);
  }

  void onClientPropertySet(GVariant*, const GError* error) {
    if (error != nullptr) fail(geoclue::Step::configure, error);
  }

  void sendStart() {
    startSent_ = true;
    call(clientPath_.c_str(), kClientInterface, "Start", nullptr, nullptr, kNoCallTimeout,
         &GeoClue2Manager::onStarted);
  }

  void onStarted(GVariant*, const GError* error) {
    if (error != nullptr) {
      fail(geoclue::Step::start, error);
      return;
    }
    if (ended_ || stopped_) return;  // a Stop went out after this Start
    running_ = true;
    if (status_ != authorization::authorizedAlways) {
      status_ = authorization::authorizedAlways;
      if (auto delegate = delegate_.lock()) delegate->locationManagerDidChangeAuthorization(*this);
    }
    // Fixes that came before Start's answer, now that the driver has had
    // the chance to start updates.
    std::vector<Location> early = std::move(early_);
    early_.clear();
    for (const Location& location : early) deliver(location);
  }

  void onLocationUpdated(GVariant* parameters) {
    if (ended_ || stopped_) return;
    const char* oldPath = nullptr;
    const char* newPath = nullptr;
    g_variant_get(parameters, "(&o&o)", &oldPath, &newPath);
    call(newPath, kPropertiesInterface, "GetAll", g_variant_new("(s)", kLocationInterface),
         G_VARIANT_TYPE("(a{sv})"), kDefaultCallTimeout, &GeoClue2Manager::onLocationRead);
  }

  void onLocationRead(GVariant* reply, const GError* error) {
    if (ended_ || stopped_) return;
    if (error != nullptr) {
      fail(geoclue::Step::readLocation, error);
      return;
    }
    VariantPtr properties(g_variant_get_child_value(reply, 0));
    Location location;
    g_variant_lookup(properties.get(), "Latitude", "d", &location.latitude);
    g_variant_lookup(properties.get(), "Longitude", "d", &location.longitude);
    g_variant_lookup(properties.get(), "Accuracy", "d", &location.horizontalAccuracy);
    guint64 seconds = 0;
    guint64 micros = 0;
    g_variant_lookup(properties.get(), "Timestamp", "(tt)", &seconds, &micros);
    location.timestampMillis = geoclue::millisFromTimestamp(seconds, micros);
    if (updating_) {
      deliver(location);
    } else {
      early_.push_back(location);
    }
  }

  void deliver(const Location& location) {
    if (ended_ || !updating_) return;
    if (auto delegate = delegate_.lock()) delegate->locationManagerDidUpdateLocations(*this, {location});
  }

  void onClientPropertiesChanged(GVariant* parameters) {
    VariantPtr changed(g_variant_get_child_value(parameters, 1));
    gboolean active = TRUE;
    if (!g_variant_lookup(changed.get(), "Active", "b", &active) || active) return;
    // Inactive without our Stop: the user's agent switched geolocation off
    // for us while we ran.
    if (!running_ || stopped_) return;
    running_ = false;
    report({geoclue::Failure::Kind::servicesOff});
  }

  void onServiceOwnerChanged(GVariant* parameters) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
    if (newOwner[0] != '\0' || stopped_) return;
    report({geoclue::Failure::Kind::locationError, 0});
  }

  static void onConnectionClosed(GDBusConnection*, gboolean, GError*, gpointer data) {
    auto self = static_cast<std::weak_ptr<GeoClue2Manager>*>(data)->lock();
    if (!self || self->stopped_) return;
    guarded("the location service connection closing",
            [&] { self->report(geoclue::closedConnectionFailure(!self->clientPath_.empty())); });
  }

  void fail(geoclue::Step step, const GError* error) {
    // A call sent on a connection that closed meanwhile, before its
    // "closed" signal reached us.
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED)) {
      report(geoclue::closedConnectionFailure(!clientPath_.empty()));
      return;
    }
    std::string name;
    std::string message;
    if (error != nullptr) {
      if (g_dbus_error_is_remote_error(error)) {
        gchar* remote = g_dbus_error_get_remote_error(error);
        name = remote;
        g_free(remote);
        ErrorPtr copy(g_error_copy(error));
        g_dbus_error_strip_remote_error(copy.get());
        message = copy->message;
      } else {
        message = error->message;
      }
    }
    report(geoclue::failureOf(step, name, message));
  }

  // Tells the driver once; a failure ends the request, so whatever follows
  // it is dropped.
  void report(geoclue::Failure failure) {
    if (ended_) return;
    ended_ = true;
    auto delegate = delegate_.lock();
    if (!delegate) return;
    switch (failure.kind) {
      case geoclue::Failure::Kind::servicesOff:
        state_->enabled = false;
        delegate->locationManagerDidChangeAuthorization(*this);
        break;
      case geoclue::Failure::Kind::denied:
        status_ = authorization::denied;
        delegate->locationManagerDidChangeAuthorization(*this);
        break;
      case geoclue::Failure::Kind::locationError:
        delegate->locationManagerDidFailWithError(*this, failure.errorCode);
        break;
    }
  }

  Bus& bus_;
  const std::string desktopId_;
  const std::shared_ptr<ServiceState> state_;
  const std::weak_ptr<LocationManagerDelegate> delegate_;

  GDBusConnection* connection_ = nullptr;  // owned; set once connected
  std::string clientPath_;                 // once CreateClient answered
  guint ownerSubscription_ = 0;
  guint locationSubscription_ = 0;
  guint propertiesSubscription_ = 0;
  gulong closedHandler_ = 0;

  std::int32_t status_ = authorization::notDetermined;
  bool setupStarted_ = false;
  bool startSent_ = false;  // a Start went out and no Stop after it
  bool running_ = false;   // Start succeeded and no Stop since
  bool updating_ = false;  // the driver wants positions
  bool stopped_ = false;   // the driver stopped updates (the request is over)
  bool ended_ = false;     // a failure was reported
  std::vector<Location> early_;  // read before updates were started
};

class GeoClue2LocationService final : public LocationService {
 public:
  GeoClue2LocationService(Bus& bus, std::string desktopId) : bus_(bus), desktopId_(std::move(desktopId)) {}

  bool locationServicesEnabled() const override { return state_->enabled; }

  std::shared_ptr<LocationManager> createManager(std::weak_ptr<LocationManagerDelegate> delegate) override {
    return std::make_shared<GeoClue2Manager>(bus_, desktopId_, state_, std::move(delegate));
  }

 private:
  Bus& bus_;
  const std::string desktopId_;
  const std::shared_ptr<ServiceState> state_ = std::make_shared<ServiceState>();
};

}  // namespace

std::shared_ptr<LocationService> makeGeoClue2LocationService(MainQueue& queue, std::string busAddress,
                                                             std::string desktopId) {
  glibContextOn(queue);  // before any GIO call, so replies come to this thread
  return std::make_shared<GeoClue2LocationService>(busFor(busAddress), std::move(desktopId));
}

std::string systemBusAddress() {
  initGlibSocketsKeepingSigpipe();  // GDBus's first use brings the socket class in
  GError* raw = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw);
  ErrorPtr error(raw);
  if (address == nullptr) return "unix:path=/var/run/dbus/system_bus_socket";
  std::string result(address);
  g_free(address);
  return result;
}

}  // namespace tavirel::location
