// REGISTER's security keys as judged before the engine is touched, and the
// certificate checks the engine's own TLS gains.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>

#include "TestCertificates.h"
#include "engine/account_security.h"
#include "engine/tls_trust.h"

namespace tavirel::engine {
namespace {

std::string problemOf(OptionalText transport, OptionalText encryption) {
  const auto parsed = parseAccountSecurity(transport, encryption);
  const auto* problem = std::get_if<std::string>(&parsed);
  return problem ? *problem : "";
}

TEST(AccountSecurity, AbsentKeysAreTodaysClearUdpAndEveryNamedCombinationIsKept) {
  const auto plain = std::get<AccountSecurity>(parseAccountSecurity(std::nullopt, std::nullopt));
  EXPECT_EQ(plain.transport, SipTransport::udp);
  EXPECT_EQ(plain.media, MediaEncryption::none);
  const auto secure = std::get<AccountSecurity>(parseAccountSecurity("tls", "srtp"));
  EXPECT_EQ(secure.transport, SipTransport::tls);
  EXPECT_EQ(secure.media, MediaEncryption::srtp);
  // DTLS and ZRTP agree their keys on the media path, so any transport will do.
  for (const char* transport : {"udp", "tcp", "tls"})
    for (const char* media : {"none", "dtls-srtp", "zrtp"})
      EXPECT_EQ(problemOf(transport, media), "") << transport << " " << media;
  EXPECT_EQ(mediaEncryptionName(std::get<AccountSecurity>(parseAccountSecurity("tcp", "dtls-srtp")).media),
            "dtls-srtp");
  // One table gives both directions to the engine's values.
  for (const auto media : {MediaEncryption::none, MediaEncryption::srtp, MediaEncryption::dtlsSrtp, MediaEncryption::zrtp})
    EXPECT_EQ(encryptionFromEngine(engineEncryption(media)), media);
  EXPECT_EQ(transportFromEngine(engineTransport(SipTransport::tls)), SipTransport::tls);
  EXPECT_EQ(transportFromEngine(LinphoneTransportDtls), SipTransport::udp);
  EXPECT_EQ(defaultSipPort(SipTransport::tls), "5061");
  EXPECT_EQ(defaultSipPort(SipTransport::tcp), "5060");
}

TEST(AccountSecurity, UnknownValuesAndSdesKeysOutsideTlsAreRefusedByName) {
  EXPECT_EQ(problemOf("TLS", std::nullopt), R"("transport" must be "udp", "tcp" or "tls")");
  EXPECT_EQ(problemOf("", std::nullopt), R"("transport" must be "udp", "tcp" or "tls")");
  EXPECT_EQ(problemOf(std::nullopt, "optional"),
            R"("mediaEncryption" must be "none", "srtp", "dtls-srtp" or "zrtp")");
  EXPECT_EQ(problemOf(std::nullopt, "srtp"), R"("mediaEncryption" "srtp" needs "transport" "tls")");
  EXPECT_EQ(problemOf("tcp", "srtp"), R"("mediaEncryption" "srtp" needs "transport" "tls")");
}

std::vector<unsigned char> derOf(const std::filesystem::path& pem) {
  FILE* file = std::fopen(pem.c_str(), "r");
  X509* certificate = file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
  if (file) std::fclose(file);
  unsigned char* der = nullptr;
  const int length = certificate ? i2d_X509(certificate, &der) : 0;
  std::vector<unsigned char> bytes(der, der + std::max(length, 0));
  OPENSSL_free(der);
  X509_free(certificate);
  return bytes;
}

TEST(TlsTrust, OnlyAnIpEntryOfTheAddressItselfCounts) {
  test::TestCertificateAuthority ca("unit root");
  const auto listed = derOf(ca.issue("listed", {.commonName = "127.0.0.1", .ipAddresses = {"10.0.0.7", "::1"}}).certificate);
  ASSERT_FALSE(listed.empty());
  EXPECT_TRUE(certificateListsAddress(listed, "10.0.0.7"));
  EXPECT_TRUE(certificateListsAddress(listed, "::1"));
  // The common name and DNS names are the engine's to match, not ours.
  EXPECT_FALSE(certificateListsAddress(listed, "127.0.0.1"));
  const auto named = derOf(ca.issue("named", {.commonName = "x", .dnsNames = {"10.0.0.7"}}).certificate);
  EXPECT_FALSE(certificateListsAddress(named, "10.0.0.7"));
  EXPECT_FALSE(certificateListsAddress(listed, "10.0.0.8"));
  EXPECT_FALSE(certificateListsAddress(std::vector<unsigned char>{0x30, 0x03, 0x02}, "10.0.0.7"));
}

TEST(TlsTrust, RefusalsAreSaidInWordsAndTheRootComesFromTheEnvironment) {
  EXPECT_EQ(certificateProblem(0), "");
  EXPECT_EQ(certificateProblem(BCTBX_CERTIFICATE_VERIFY_BADCERT_NOT_TRUSTED | BCTBX_CERTIFICATE_VERIFY_BADCERT_EXPIRED),
            "not issued by a trusted authority, expired");
  EXPECT_EQ(certificateProblem(BCTBX_CERTIFICATE_VERIFY_BADCERT_BAD_KEY), "not acceptable");
  EXPECT_EQ(certificateProblem(BCTBX_CERTIFICATE_VERIFY_BADCERT_CN_MISMATCH | BCTBX_CERTIFICATE_VERIFY_BADCERT_BAD_MD),
            "issued for another name, not acceptable otherwise");
  EXPECT_EQ(rootCaPath(nullptr), "/etc/ssl/certs/ca-certificates.crt");
  EXPECT_EQ(rootCaPath(""), "/etc/ssl/certs/ca-certificates.crt");
  EXPECT_EQ(rootCaPath("/tmp/root.pem"), "/tmp/root.pem");
}

}  // namespace
}  // namespace tavirel::engine
