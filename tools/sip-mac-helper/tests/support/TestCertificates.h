// A certificate authority made at test time, and server certificates it
// issues: EC P-256 keys, written as PEM files into a private directory.
// Nothing here is ever committed; every run makes its own.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"

namespace tavirel::test {

struct CertificateRequest {
  std::string commonName;
  std::vector<std::string> dnsNames;     // subject alternative names
  std::vector<std::string> ipAddresses;  // subject alternative names, IP entries
  bool expired = false;                  // valid for a day, a year ago
};

struct IssuedCertificate {
  std::filesystem::path certificate;  // PEM
  std::filesystem::path privateKey;   // PEM
};

class TestCertificateAuthority {
 public:
  // A self-signed CA named `name`. Throws std::runtime_error on failure.
  explicit TestCertificateAuthority(std::string name);
  ~TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  // The CA's own certificate: what a client is told to trust.
  const std::filesystem::path& rootFile() const { return root_; }

  // A server certificate signed by this CA, files named after `stem`.
  IssuedCertificate issue(const std::string& stem, const CertificateRequest& request) const;

 private:
  struct Keys;
  TempDir dir_;
  std::unique_ptr<Keys> keys_;
  std::filesystem::path root_;
};

}  // namespace tavirel::test
