// Ownership of engine objects this helper creates: Owned<T> drops our
// reference when it goes out of scope. Objects the engine hands out without
// a new reference (getters) are borrowed and never wrapped. It sits with the
// process-wide state, which owns the core.
#pragma once

#include <bctoolbox/list.h>
#include <bctoolbox/port.h>
#include <linphone/core.h>

#include <memory>

namespace tavirel::engine {

struct Unref {
  void operator()(LinphoneCore* p) const { linphone_core_unref(p); }
  void operator()(LinphoneCoreCbs* p) const { linphone_core_cbs_unref(p); }
  void operator()(LinphoneAccountParams* p) const { linphone_account_params_unref(p); }
  void operator()(LinphoneAddress* p) const { linphone_address_unref(p); }
  void operator()(LinphoneAccount* p) const { linphone_account_unref(p); }
  void operator()(LinphoneAuthInfo* p) const { linphone_auth_info_unref(p); }
  void operator()(LinphoneCallParams* p) const { linphone_call_params_unref(p); }
  void operator()(LinphoneConferenceParams* p) const { linphone_conference_params_unref(p); }
  void operator()(LinphoneParticipant* p) const { linphone_participant_unref(p); }
  void operator()(LinphoneLoggingServiceCbs* p) const { linphone_logging_service_cbs_unref(p); }
  void operator()(LinphoneTransports* p) const { linphone_transports_unref(p); }
  // Text the engine allocated for us.
  void operator()(char* p) const { bctbx_free(p); }
  // A list we built or were given to free: its cells only; the elements
  // belong to someone else.
  void operator()(bctbx_list_t* p) const { bctbx_list_free(p); }
};

template <typename T>
using Owned = std::unique_ptr<T, Unref>;

using AddressPtr = Owned<LinphoneAddress>;
using CallParamsPtr = Owned<LinphoneCallParams>;
using CorePtr = Owned<LinphoneCore>;

// A list of payload types the engine handed us with a reference on each.
struct PayloadTypeListUnref {
  void operator()(bctbx_list_t* p) const {
    bctbx_list_free_with_data(p, reinterpret_cast<bctbx_list_free_func>(linphone_payload_type_unref));
  }
};
using PayloadTypeList = std::unique_ptr<bctbx_list_t, PayloadTypeListUnref>;

}  // namespace tavirel::engine
