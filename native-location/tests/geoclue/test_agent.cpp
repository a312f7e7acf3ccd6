// A GeoClue2 agent for the end-to-end tests: what a desktop's agent does,
// driven line by line on stdin so a test can change the user's answer.
//
//   tavirel_geoclue_test_agent AGENT_ID LEVEL
//
// Connects to DBUS_SYSTEM_BUS_ADDRESS, serves the agent object, waits for
// GeoClue2 to be on the bus and registers as AGENT_ID (which the daemon's
// whitelist must name), then prints "ready". Every application is allowed
// up to the current level (0 switches geolocation off for the user).
// Commands, each answered with one line:
//   level N   set the level and announce it        -> "ok"
//   in-use    ask the daemon whether any client is active -> "in-use true|false"
// End of input ends the program, so it cannot outlive the test driving it.
#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kService = "org.freedesktop.GeoClue2";
constexpr const char* kManagerPath = "/org/freedesktop/GeoClue2/Manager";
constexpr const char* kManagerInterface = "org.freedesktop.GeoClue2.Manager";
constexpr const char* kAgentPath = "/org/freedesktop/GeoClue2/Agent";
constexpr const char* kAgentInterface = "org.freedesktop.GeoClue2.Agent";

constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.GeoClue2.Agent">
    <method name="AuthorizeApp">
      <arg name="desktop_id" type="s" direction="in"/>
      <arg name="req_accuracy_level" type="u" direction="in"/>
      <arg name="authorized" type="b" direction="out"/>
      <arg name="allowed_accuracy_level" type="u" direction="out"/>
    </method>
    <property name="MaxAccuracyLevel" type="u" access="read"/>
  </interface>
</node>)";

struct Agent {
  GDBusConnection* connection = nullptr;
  GMainLoop* loop = nullptr;
  std::string id;
  guint32 level = 8;
  bool registering = false;
  int status = 0;
};

void say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

void quit(Agent& agent, int status, const char* why) {
  if (why != nullptr) say(why);
  agent.status = status;
  g_main_loop_quit(agent.loop);
}

void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
  auto* agent = static_cast<Agent*>(data);
  if (std::strcmp(method, "AuthorizeApp") != 0) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
    return;
  }
  const char* desktopId = nullptr;
  guint32 requested = 0;
  g_variant_get(parameters, "(&su)", &desktopId, &requested);
  const guint32 allowed = requested < agent->level ? requested : agent->level;
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(bu)", agent->level > 0, allowed));
}

GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError** error,
                        gpointer data) {
  auto* agent = static_cast<Agent*>(data);
  if (std::strcmp(name, "MaxAccuracyLevel") == 0) return g_variant_new_uint32(agent->level);
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
  return nullptr;
}

void setLevel(Agent& agent, guint32 level) {
  agent.level = level;
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changed, "{sv}", "MaxAccuracyLevel", g_variant_new_uint32(level));
  g_dbus_connection_emit_signal(agent.connection, nullptr, kAgentPath, "org.freedesktop.DBus.Properties",
                                "PropertiesChanged",
                                g_variant_new("(sa{sv}as)", kAgentInterface, &changed, nullptr), nullptr);
  g_dbus_connection_flush_sync(agent.connection, nullptr, nullptr);
  say("ok");
}

void onInUse(GObject* source, GAsyncResult* result, gpointer data) {
  auto* agent = static_cast<Agent*>(data);
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply == nullptr) {
    std::string line = std::string("error ") + error->message;
    g_error_free(error);
    say(line.c_str());
    return;
  }
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  say(g_variant_get_boolean(value) ? "in-use true" : "in-use false");
  g_variant_unref(value);
  g_variant_unref(reply);
  (void)agent;
}

gboolean onInput(GIOChannel* channel, GIOCondition, gpointer data) {
  auto* agent = static_cast<Agent*>(data);
  gchar* line = nullptr;
  gsize length = 0;
  const GIOStatus status = g_io_channel_read_line(channel, &line, &length, nullptr, nullptr);
  if (status == G_IO_STATUS_AGAIN) return TRUE;
  if (status != G_IO_STATUS_NORMAL) {
    quit(*agent, agent->status, nullptr);
    return FALSE;
  }
  std::string command(line, length);
  g_free(line);
  while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) command.pop_back();
  if (command.rfind("level ", 0) == 0) {
    setLevel(*agent, static_cast<guint32>(std::strtoul(command.c_str() + 6, nullptr, 10)));
  } else if (command == "in-use") {
    g_dbus_connection_call(agent->connection, kService, kManagerPath, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", kManagerInterface, "InUse"), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &onInUse, agent);
  } else {
    say(("error unknown command " + command).c_str());
  }
  return TRUE;
}

void onAgentAdded(GObject* source, GAsyncResult* result, gpointer data) {
  auto* agent = static_cast<Agent*>(data);
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply == nullptr) {
    std::string line = std::string("error AddAgent: ") + error->message;
    g_error_free(error);
    quit(*agent, 1, line.c_str());
    return;
  }
  g_variant_unref(reply);
  say("ready");
}

// Asynchronously: the daemon reads MaxAccuracyLevel from us before AddAgent
// returns, so a blocking call here would deadlock.
void onServiceAppeared(GDBusConnection* connection, const gchar*, const gchar*, gpointer data) {
  auto* agent = static_cast<Agent*>(data);
  if (agent->registering) return;
  agent->registering = true;
  g_dbus_connection_call(connection, kService, kManagerPath, kManagerInterface, "AddAgent",
                         g_variant_new("(s)", agent->id.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
                         &onAgentAdded, agent);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s AGENT_ID LEVEL\n", argv[0]);
    return 2;
  }
  Agent agent;
  agent.id = argv[1];
  agent.level = static_cast<guint32>(std::strtoul(argv[2], nullptr, 10));
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (address == nullptr) {
    std::fprintf(stderr, "DBUS_SYSTEM_BUS_ADDRESS is not set\n");
    return 2;
  }
  GError* error = nullptr;
  agent.connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (agent.connection == nullptr) {
    std::printf("error connect: %s\n", error->message);
    return 1;
  }
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  static const GDBusInterfaceVTable vtable = {&onMethodCall, &onGetProperty, nullptr, {}};
  if (g_dbus_connection_register_object(agent.connection, kAgentPath, node->interfaces[0], &vtable, &agent, nullptr,
                                        &error) == 0) {
    std::printf("error register: %s\n", error->message);
    return 1;
  }
  agent.loop = g_main_loop_new(nullptr, FALSE);
  GIOChannel* input = g_io_channel_unix_new(0);
  g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), &onInput, &agent);
  g_bus_watch_name_on_connection(agent.connection, kService, G_BUS_NAME_WATCHER_FLAGS_NONE, &onServiceAppeared,
                                 nullptr, &agent, nullptr);
  g_main_loop_run(agent.loop);
  return agent.status;
}
