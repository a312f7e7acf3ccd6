// tavirel-sip-helper: a SIP softphone helper driven over stdin/stdout, one
// JSON request per line in, exactly one JSON response per line out.
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "bridge/helper_state.h"
#include "bridge/line_transport.h"
#include "bridge/request_loop.h"
#include "engine/core_setup.h"

int main(int /*argc*/, char** argv) {
  using namespace tavirel;

  // A peer that has gone shows up as EPIPE from write(), which ends the
  // process below; the signal must not kill it in the middle of a line.
  std::signal(SIGPIPE, SIG_IGN);

  const int protocolFd = bridge::takeOverStdout();
  if (protocolFd < 0) return EXIT_FAILURE;

  HelperState& state = helperState();
  state.executablePath = argv[0] ? argv[0] : "";

  bridge::LineReader input(STDIN_FILENO);
  bridge::LineWriter output(protocolFd);
  const bridge::ServeEnd end = bridge::serve(input, output, state);
  engine::removeEnginePrivateDirectory();
  // Nobody is listening any more; leave quietly.
  if (end == bridge::ServeEnd::peerGone) _exit(EXIT_FAILURE);
  // The engine keeps running on its own thread until the very end; no
  // teardown, no static destructors racing it.
  _exit(EXIT_SUCCESS);
}
