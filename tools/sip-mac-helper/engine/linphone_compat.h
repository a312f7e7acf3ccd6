// One name for engine calls whose C signature differs between liblinphone
// releases, so the rest of the helper is written once. The build passes the
// installed library's version in TAVIREL_LINPHONE_VERSION_MAJOR/_MINOR (read
// from its CMake package); code outside this header never tests it.
//
// Both wrappers run on the engine queue, like every other engine call.
#pragma once

#include <linphone/core.h>

#if !defined(TAVIREL_LINPHONE_VERSION_MAJOR) || !defined(TAVIREL_LINPHONE_VERSION_MINOR)
#error "TAVIREL_LINPHONE_VERSION_MAJOR/_MINOR must come from the build (Linphone CMake package)"
#endif

#define TAVIREL_LINPHONE_AT_LEAST(major, minor)   \
  (TAVIREL_LINPHONE_VERSION_MAJOR > (major) ||    \
   (TAVIREL_LINPHONE_VERSION_MAJOR == (major) &&  \
    TAVIREL_LINPHONE_VERSION_MINOR >= (minor)))

namespace tavirel::engine {

// Turns user input ("sip:bob@host", "bob@host", "bob") into an engine
// address; null when the text is no usable SIP address. The caller owns the
// result (linphone_address_unref).
//
// From 5.2 on this is linphone_core_interpret_url_2. 5.1 has only
// linphone_core_interpret_url, which applies the default account's
// international dial prefix to phone-number-like user parts; the helper never
// configures a dial prefix, so with `applyInternationalPrefix` false both give
// the same address.
inline LinphoneAddress* interpretUrl(LinphoneCore* core, const char* url,
                                     bool applyInternationalPrefix) {
#if TAVIREL_LINPHONE_AT_LEAST(5, 2)
  return linphone_core_interpret_url_2(core, url, applyInternationalPrefix ? TRUE : FALSE);
#else
  (void)applyInternationalPrefix;
  return linphone_core_interpret_url(core, url);
#endif
}

// Conference parameters: the defaults when `conference` is null, else a copy
// of that conference's. Null on failure. The caller owns the result
// (linphone_conference_params_unref).
//
// From 5.2 on this is linphone_core_create_conference_params_2; on 5.1 the
// same result is the defaults or a clone of the conference's current ones.
inline LinphoneConferenceParams* createConferenceParams(LinphoneCore* core,
                                                        LinphoneConference* conference) {
#if TAVIREL_LINPHONE_AT_LEAST(5, 2)
  return linphone_core_create_conference_params_2(core, conference);
#else
  if (conference == nullptr) return linphone_core_create_conference_params(core);
  const LinphoneConferenceParams* current = linphone_conference_get_current_params(conference);
  return current != nullptr ? linphone_conference_params_clone(current) : nullptr;
#endif
}

}  // namespace tavirel::engine
