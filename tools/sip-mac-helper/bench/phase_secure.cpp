// Call set-up over TLS with SRTP, beside the clear set-up of the calls
// phase: two helpers and two peers, each registered over TLS at a kamailio
// whose certificate a CA made for this run issued, media encryption SRTP
// and mandatory on both.
#include <cstdio>
#include <stdexcept>

#include "TestCertificates.h"
#include "phases.h"
#include "placed_calls.h"

namespace tavirel::bench {
namespace {

using namespace std::chrono_literals;

// Both kinds of party name the registrar "localhost": the peer's engine
// matches a host against DNS names only.
constexpr const char* kHost = "localhost";

std::unique_ptr<Running> secureHelper(Bench& bench, const test::Kamailio& registrar,
                                      const test::TestCertificateAuthority& ca, const std::string& user) {
  Env env = bench.pulse;
  env["TAVIREL_SIP_ROOT_CA"] = ca.rootFile().string();
  auto helper = startHelper(bench.options, env);
  initialize(*helper);
  registerHelperAt(*helper, registrar.tlsServer(kHost), user, {{"transport", "tls"}, {"mediaEncryption", "srtp"}});
  return helper;
}

std::unique_ptr<Running> securePeer(Bench& bench, const test::Kamailio& registrar,
                                    const test::TestCertificateAuthority& ca, const std::string& user) {
  auto peer = startPeer(bench.options, bench.pulse, nullptr,
                        "root_ca=" + ca.rootFile().string() +
                            "\nverify_server_certs=1\nverify_server_cn=1\nmedia_encryption=srtp\n"
                            "media_encryption_mandatory=1\n");
  matchHelperCodecs(*peer);
  registerPeerAt(*peer, std::string("sip:") + user + "@" + kHost, "sip:" + registrar.tlsServer(kHost) + ";transport=tls",
                 user, registrar);
  return peer;
}

struct SecureRuns {
  std::vector<double> helper, peer;
  std::string helperMissing = "not run", peerMissing = "not run";
};

template <typename Start, typename Call>
void runPair(Bench& bench, const char* what, Start start, Call call, std::vector<double>& runs,
             std::string& missingWhy) {
  try {
    progress(std::string("secure: ") + what);
    auto [caller, callee] = start();
    for (int i = 0; i < bench.options.calls; ++i) runs.push_back(call(*caller, *callee));
    missingWhy.clear();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[bench] secure %s failed: %s\n", what, e.what());
    runs.clear();
    missingWhy = "call failed";
    ++bench.failures;
  }
}

void runSecure(Bench& bench, SecureRuns& runs) {
  const test::TestCertificateAuthority ca("tavirel bench root");
  const test::IssuedCertificate certificate =
      ca.issue("registrar", {.commonName = kHost, .dnsNames = {kHost}, .ipAddresses = {"127.0.0.1"}});
  const test::Kamailio registrar(test::KamailioTls{certificate.certificate, certificate.privateKey});
  const std::string helperTarget = "sip:bob@" + registrar.tlsServer(kHost);
  const std::string peerTarget = "sip:dave@" + registrar.tlsServer(kHost);
  runPair(
      bench, "helpers",
      [&] { return std::pair{secureHelper(bench, registrar, ca, "alice"), secureHelper(bench, registrar, ca, "bob")}; },
      [&](Running& caller, Running& callee) {
        const double ms = setUpHelperCall(caller, callee, helperTarget);
        endHelperCall(caller, callee);
        return ms;
      },
      runs.helper, runs.helperMissing);
  runPair(
      bench, "peers",
      [&] { return std::pair{securePeer(bench, registrar, ca, "carol"), securePeer(bench, registrar, ca, "dave")}; },
      [&](Running& caller, Running& callee) {
        const PeerCall placed = setUpPeerCall(caller, callee, peerTarget);
        endPeerCall(caller, callee, placed);
        return placed.setUpMs;
      },
      runs.peer, runs.peerMissing);
}

}  // namespace

void securePhase(Bench& bench) {
  SecureRuns runs;
  if (bench.options.wants("secure")) {
    bench.markLoad("secure start");
    runSecure(bench, runs);
    bench.markLoad("secure end");
  }
  const auto figures = [](const std::vector<double>& values, const std::string& why) {
    return values.empty() ? missing(why) : Series{values, {}};
  };
  bench.report.add(Row{"call_setup_tls_srtp", "Call over TLS with SRTP: MAKE_CALL to streamsRunning on both sides",
                       "ms", 1, figures(runs.helper, runs.helperMissing), {}, figures(runs.peer, runs.peerMissing)});
  bench.report.add(Ratio{"call_setup_tls_srtp_vs_peer", "TLS+SRTP call set-up ÷ peer (call by call)",
                         runs.helper.empty() || runs.peer.empty()
                             ? missing(runs.helper.empty() ? runs.helperMissing : runs.peerMissing)
                             : ratioOf(runs.helper, runs.peer),
                         false, 1.0, "≤ 1.00"});
}

}  // namespace tavirel::bench
