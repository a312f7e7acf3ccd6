// liblinphone 5.1 crashes when a re-INVITE reaches a call whose media
// streams are already gone. That happens when a caller hangs up just as the
// callee answers: the CANCEL crosses the 200 OK, the caller's engine ends
// the call without acknowledging the answer, and the callee, which believes
// the call runs, re-INVITEs it (to put it on hold, or into a conference)
// before the caller's BYE reaches it. The caller's engine then builds its
// answer from the ended call and asks the call's RTP session, which it has
// already freed, for its SSRC. Later engines check for the missing session
// at that very spot and write an SSRC of 0; this gives 5.1 the same answer.
//
// The engine calls the function through its dynamic symbol table, so this
// definition, exported by the program, is the one it reaches. Real sessions
// go on to the engine's own function unchanged.
#include <ortp/rtpsession.h>

#include "engine/engine_guards.h"

namespace {

using SendSsrc = uint32_t (*)(RtpSession*);

SendSsrc engineSendSsrc() {
  static const auto engine = reinterpret_cast<SendSsrc>(tavirel::engine::engineDefinition("rtp_session_get_send_ssrc"));
  return engine;
}

}  // namespace

extern "C" uint32_t rtp_session_get_send_ssrc(RtpSession* session) {
  if (session == nullptr) return 0;
  return engineSendSsrc()(session);
}

namespace {
// INITIALIZE checks that the engine's calls reach this definition.
const bool registered = (tavirel::engine::registerEngineGuard("rtp_session_get_send_ssrc",
                                                              reinterpret_cast<const void*>(&rtp_session_get_send_ssrc)),
                         true);
}  // namespace
