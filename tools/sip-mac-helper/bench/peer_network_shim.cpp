// Preloaded into the peer daemon: declares the network reachable as soon as
// the daemon has created its engine, as the helper does for its own engine.
//
// The benchmark runs in a loopback-only network namespace. There the
// engine's own network watch finds only a loopback address and declares the
// network down a few seconds after start, so the daemon, which has no
// command to say otherwise, could neither register nor call. The daemon's
// configuration turns the watch off (auto_net_state_mon=0); this supplies
// the one call the helper makes in its place. Nothing else is touched.
#include <dlfcn.h>

extern "C" {

struct _LinphoneCore;

_LinphoneCore* linphone_core_new(const void* vtable, const char* configPath, const char* factoryConfigPath,
                                 void* userData) {
  static const auto real = reinterpret_cast<_LinphoneCore* (*)(const void*, const char*, const char*, void*)>(
      dlsym(RTLD_NEXT, "linphone_core_new"));
  static const auto setReachable = reinterpret_cast<void (*)(_LinphoneCore*, unsigned char)>(
      dlsym(RTLD_DEFAULT, "linphone_core_set_network_reachable"));
  if (!real) return nullptr;
  _LinphoneCore* core = real(vtable, configPath, factoryConfigPath, userData);
  if (core && setReachable) setReachable(core, 1);
  return core;
}

}  // extern "C"
