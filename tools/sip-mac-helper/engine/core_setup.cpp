#include "engine/core_setup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linphone/core_utils.h>  // linphone_core_enable_callkit

#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "bridge/engine_queue.h"
#include "bridge/helper_state.h"
#include "bridge/trace.h"
#include "engine/engine_error.h"
#include "engine/log_folding.h"
#include "engine/tls_trust.h"
#include "platform/sound_server/engine_sound_server.h"

namespace tavirel::engine {
namespace {

// Below this the engine's log stays silent. The engine filters by level
// itself; the handler checks again so that nothing chattier (debug traces
// can carry SIP messages with credentials) reaches stderr whatever the
// engine's own filter does.
constexpr LinphoneLogLevel kLogThreshold = LinphoneLogLevelWarning;

LogFolder& engineLogFolder() {
  // Never destroyed: the engine may log from its own threads during exit.
  static auto* folder = new LogFolder;
  return *folder;
}

void writeEngineLines(const std::vector<std::string>& lines) {
  // One write per line, so engine lines never mix with trace lines.
  for (const std::string& line : lines) (void)bridge::writeAll(STDERR_FILENO, line);
}

void onEngineLogMessage(LinphoneLoggingService*, const char* domain, LinphoneLogLevel level,
                        const char* message) {
  if (level < kLogThreshold) return;
  const std::string line = engineLogLine(level, domain ? domain : "", message ? message : "");
  writeEngineLines(engineLogFolder().admit(line, LogFolder::Clock::now()));
}

void routeEngineLog(LinphoneFactory* factory) {
  LinphoneLoggingService* logging = linphone_logging_service_get();  // borrowed singleton
  linphone_logging_service_set_log_level(logging, kLogThreshold);
  // Added once per process: a retried INITIALIZE after a failed start must not
  // make every line appear twice.
  static bool handlerAdded = false;
  if (handlerAdded) return;
  // The service keeps its own reference.
  const Owned<LinphoneLoggingServiceCbs> callbacks(linphone_factory_create_logging_service_cbs(factory));
  linphone_logging_service_cbs_set_log_message_written(callbacks.get(), onEngineLogMessage);
  linphone_logging_service_add_callbacks(logging, callbacks.get());
  handlerAdded = true;
}

// Without a configuration file the engine would still open its databases
// (messages, call history, ZRTP keys) under the user's data directory, and on
// a machine where that directory does not exist the start fails. The helper
// keeps no state between runs, so storage is switched off instead.
void disablePersistentStorage(LinphoneCore* core) {
  LinphoneConfig* config = linphone_core_get_config(core);  // borrowed
  linphone_config_set_string(config, "storage", "uri", "null");
  linphone_config_set_string(config, "storage", "call_logs_db_uri", "null");
  linphone_config_set_string(config, "storage", "zrtp_secrets_db_uri", "null");
}

void choosePayloadTypes(LinphoneCore* core) {
  const PayloadTypeList audio(linphone_core_get_audio_payload_types(core));
  for (const bctbx_list_t* it = audio.get(); it; it = bctbx_list_next(it)) {
    auto* type = static_cast<LinphonePayloadType*>(bctbx_list_get_data(it));
    const char* mime = linphone_payload_type_get_mime_type(type);
    linphone_payload_type_enable(type, isAllowedAudioCodec(mime ? mime : "") ? TRUE : FALSE);
  }
  const PayloadTypeList video(linphone_core_get_video_payload_types(core));
  for (const bctbx_list_t* it = video.get(); it; it = bctbx_list_next(it))
    linphone_payload_type_enable(static_cast<LinphonePayloadType*>(bctbx_list_get_data(it)), FALSE);
}

// Encrypted signalling and media: certificates are always checked, against
// the CA store or the root the environment names; DTLS keeps its identity
// in our private directory rather than under HOME.
void configureSecurity(LinphoneCore* core) {
  linphone_core_verify_server_certificates(core, TRUE);
  linphone_core_verify_server_cn(core, TRUE);
  const std::string root = rootCaPath(std::getenv(std::string(kRootCaVariable).c_str()));
  linphone_core_set_root_ca(core, root.c_str());
  if (const std::string& directory = enginePrivateDirectory(); !directory.empty())
    linphone_core_set_user_certificates_path(core, directory.c_str());
}

std::string privateDirectoryParent() {
  for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value == '/' && ::access(value, W_OK | X_OK) == 0) return value;
  }
  return "/tmp";
}

}  // namespace

const std::string& enginePrivateDirectory() {
  static const std::string directory = [] {
    std::string pattern = privateDirectoryParent() + "/tavirel-sip-helper-XXXXXX";
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }();
  return directory;
}

void removeEnginePrivateDirectory() {
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string& directory = enginePrivateDirectory();
    if (directory.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  });
}

void flushEngineLog() { writeEngineLines(engineLogFolder().flush(LogFolder::Clock::now())); }

std::optional<std::int32_t> getAvailableUDPPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  std::optional<std::int32_t> port;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

std::string engineLogLine(int level, std::string_view domain, std::string_view message) {
  std::string line = "[LogLevel(rawValue: ";
  line += std::to_string(level);
  line += ")] [";
  line += domain;
  line += "] ";
  line += message;
  line += '\n';
  return line;
}

bool isAllowedAudioCodec(std::string_view mimeType) {
  std::string upper(mimeType);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper == "PCMA" || upper == "PCMU" || upper == "G729";
}

CoreCreation createLinphoneCore(const std::string& pluginDirectory) {
  assertOnEngineQueue();
  LinphoneFactory* factory = linphone_factory_get();  // borrowed singleton
  routeEngineLog(factory);
  // Read when the core's media factory is made, so it must come first.
  linphone_factory_set_msplugins_dir(factory, pluginDirectory.c_str());

  CorePtr created;
  {
    platform::SoundServerHiddenFromEngine hidden;
    created.reset(linphone_factory_create_core_3(factory, nullptr, nullptr, nullptr));
  }
  if (!created) return {nullptr, nullFailure("Core")};
  LinphoneCore* core = created.get();
  platform::useHelperSoundCards(ms_factory_get_snd_card_manager(linphone_core_get_ms_factory(core)));
  linphone_core_reload_sound_devices(core);
  disablePersistentStorage(core);

  const Owned<LinphoneTransports> transports(linphone_core_get_transports(core));
  linphone_transports_set_udp_port(transports.get(), getAvailableUDPPort().value_or(-1));
  linphone_transports_set_tcp_port(transports.get(), -1);
  linphone_transports_set_tls_port(transports.get(), -1);
  if (const LinphoneStatus status = linphone_core_set_transports(core, transports.get()); status != 0)
    return {nullptr, statusFailure("setTransports", status)};

  configureSecurity(core);
  linphone_core_set_use_rfc2833_for_dtmf(core, TRUE);
  linphone_core_set_use_info_for_dtmf(core, FALSE);
  linphone_core_set_network_reachable(core, TRUE);
  linphone_core_enable_video_capture(core, FALSE);
  linphone_core_enable_video_display(core, FALSE);
  linphone_core_enable_mic(core, TRUE);
  linphone_core_enable_ipv6(core, FALSE);
  linphone_core_enable_callkit(core, TRUE);
  linphone_core_enable_record_aware(core, TRUE);
  linphone_core_set_tone(core, LinphoneToneCallEnd, "");
  linphone_core_set_inc_timeout(core, HelperState::incTimeoutSeconds);
  linphone_core_set_nortp_timeout(core, HelperState::noRtpTimeoutSeconds);
  linphone_core_set_audio_jittcomp(core, HelperState::audioJitterMs);
  linphone_core_enable_echo_cancellation(core, TRUE);
  linphone_core_set_delayed_timeout(core, 0);
  linphone_core_set_video_jittcomp(core, HelperState::videoJitterMs);
  linphone_core_enable_audio_adaptive_jittcomp(core, TRUE);
  linphone_core_enable_video_adaptive_jittcomp(core, TRUE);
  linphone_core_enable_adaptive_rate_control(core, TRUE);
  linphone_core_enable_capability_negotiation_reinvite(core, TRUE);
  linphone_core_enable_echo_limiter(core, TRUE);
  choosePayloadTypes(core);
  // The engine's default media ports are fixed (7078 for audio) and its
  // sockets allow a second bind of the same port, so two engines on one
  // machine would silently share one RTP port and get each other's audio.
  // The system picks a free port per call instead, as it does for SIP.
  linphone_core_set_audio_port(core, -1);
  linphone_core_set_video_port(core, -1);
  linphone_core_set_text_port(core, -1);
  return {std::move(created), std::nullopt};
}

}  // namespace tavirel::engine
