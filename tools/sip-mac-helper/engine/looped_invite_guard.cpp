// liblinphone 5.1 corrupts a call to the helper's own address. Such an
// INVITE comes back to this engine (through the registrar, or straight to
// its own SIP port) carrying the Call-ID of the outgoing call that sent it.
// Before making an incoming call, the engine asks for a call with that
// Call-ID, meant to find the placeholder a push notification leaves for a
// call about to arrive, and, finding our own outgoing call instead, turns
// that call into the incoming one: one call then holds two SIP dialogs, its
// answer fails, its state reads as connected while it rings, and on hang-up
// it stays in the call list with its audio streams freed, so the next
// microphone mute writes into freed memory and an incoming call afterwards
// finds no call to answer.
//
// The lookup has no other caller in the engine. The helper never uses push
// notifications, so a placeholder is always an incoming call; an outgoing
// call found here can only be our own INVITE returning, and the engine is
// told there is none. It then makes the returning INVITE an ordinary
// incoming call beside the outgoing one: the call to oneself rings, can be
// answered, and each of its two calls ends and leaves the list like any
// other.
//
// The engine calls the function through its dynamic symbol table, so this
// definition, exported by the program (see CMakeLists.txt), is the one it
// reaches; every other answer is the engine's own.
#include <linphone/core.h>


#include "engine/engine_guards.h"

namespace {

using FindByCallId = LinphoneCall* (*)(const LinphoneCore*, const char*);

FindByCallId engineFindByCallId() {
  static const auto engine = reinterpret_cast<FindByCallId>(tavirel::engine::engineDefinition("linphone_core_get_call_by_callid"));
  return engine;
}

}  // namespace

extern "C" LinphoneCall* linphone_core_get_call_by_callid(const LinphoneCore* core, const char* callId) {
  LinphoneCall* call = engineFindByCallId()(core, callId);  // borrowed
  if (call != nullptr && linphone_call_get_dir(call) == LinphoneCallOutgoing) return nullptr;
  return call;
}

namespace {
// INITIALIZE checks that the engine's calls reach this definition.
const bool registered = (tavirel::engine::registerEngineGuard("linphone_core_get_call_by_callid", reinterpret_cast<const void*>(&linphone_core_get_call_by_callid)), true);
}  // namespace
