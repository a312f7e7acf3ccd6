// liblinphone 5.1 crashes when a call leaves a local conference and that call
// carries no contact address of its own, which is the case for every call
// placed or answered while no account has registered: on the way out the
// engine prints the call's contact with sal_address_as_string(), which reads
// through the null address. The text only serves to ask whether that call's
// contact marks it as the conference's focus ("isfocus"), and a call without
// a contact of its own cannot be.
//
// The engine calls the function through its dynamic symbol table, so this
// definition, exported by the program, is the one it reaches. Real addresses
// go on to the engine's own function unchanged; a null one gets an address
// that parses and carries no parameters, instead of a crash.
#include <bctoolbox/port.h>


#include "engine/engine_guards.h"

extern "C" {
struct SalAddress;
char* sal_address_as_string(const SalAddress* address);
}

namespace {

using AsString = char* (*)(const SalAddress*);

AsString engineAsString() {
  static const auto engine = reinterpret_cast<AsString>(tavirel::engine::engineDefinition("sal_address_as_string"));
  return engine;
}

}  // namespace

extern "C" char* sal_address_as_string(const SalAddress* address) {
  // Freed by the engine with its own allocator, so allocated with it too.
  if (address == nullptr) return bctbx_strdup("sip:anonymous@anonymous.invalid");
  return engineAsString()(address);
}

namespace {
// INITIALIZE checks that the engine's calls reach this definition.
const bool registered = (tavirel::engine::registerEngineGuard("sal_address_as_string", reinterpret_cast<const void*>(&sal_address_as_string)), true);
}  // namespace
