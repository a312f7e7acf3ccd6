#include "TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace tavirel::test {
namespace {

constexpr long kDay = 24L * 60 * 60;

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertificatePtr = std::unique_ptr<X509, decltype(&X509_free)>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what + " failed");
}

KeyPtr newKey() {
  KeyPtr key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  check(key != nullptr, "key generation");
  return key;
}

void setName(X509_NAME* name, const std::string& commonName) {
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
        "subject name");
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  check(extension != nullptr, "extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

CertificatePtr newCertificate(EVP_PKEY* key, const std::string& commonName, long notBefore, long notAfter) {
  static long serial = 1;
  CertificatePtr certificate(X509_new(), &X509_free);
  check(certificate != nullptr, "certificate");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), notBefore);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), notAfter);
  X509_set_pubkey(certificate.get(), key);
  setName(X509_get_subject_name(certificate.get()), commonName);
  return certificate;
}

void writePem(const std::filesystem::path& path, X509* certificate, EVP_PKEY* key) {
  FILE* file = std::fopen(path.c_str(), "w");
  check(file != nullptr, "opening a PEM file");
  const bool written = certificate ? PEM_write_X509(file, certificate) == 1
                                   : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(file);
  check(written, "writing a PEM file");
}

}  // namespace

struct TestCertificateAuthority::Keys {
  KeyPtr key = newKey();
  CertificatePtr certificate{nullptr, &X509_free};
};

TestCertificateAuthority::TestCertificateAuthority(std::string name)
    : dir_("tavirel-ca"), keys_(std::make_unique<Keys>()), root_(dir_ / "root.pem") {
  keys_->certificate = newCertificate(keys_->key.get(), name, -kDay, 30 * kDay);
  X509* root = keys_->certificate.get();
  X509_set_issuer_name(root, X509_get_subject_name(root));
  addExtension(root, root, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(root, root, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(root, root, NID_subject_key_identifier, "hash");
  check(X509_sign(root, keys_->key.get(), EVP_sha256()) > 0, "signing the root");
  writePem(root_, root, nullptr);
}

TestCertificateAuthority::~TestCertificateAuthority() = default;

IssuedCertificate TestCertificateAuthority::issue(const std::string& stem, const CertificateRequest& request) const {
  KeyPtr key = newKey();
  const long start = request.expired ? -366 * kDay : -kDay;
  const long end = request.expired ? -365 * kDay : 30 * kDay;
  CertificatePtr certificate = newCertificate(key.get(), request.commonName, start, end);
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(keys_->certificate.get()));
  std::string names;
  for (const std::string& dns : request.dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + dns;
  for (const std::string& ip : request.ipAddresses) names += (names.empty() ? "IP:" : ",IP:") + ip;
  if (!names.empty()) addExtension(certificate.get(), keys_->certificate.get(), NID_subject_alt_name, names);
  addExtension(certificate.get(), keys_->certificate.get(), NID_basic_constraints, "CA:FALSE");
  addExtension(certificate.get(), keys_->certificate.get(), NID_ext_key_usage, "serverAuth");
  addExtension(certificate.get(), keys_->certificate.get(), NID_authority_key_identifier, "keyid");
  check(X509_sign(certificate.get(), keys_->key.get(), EVP_sha256()) > 0, "signing a certificate");
  IssuedCertificate issued{dir_ / (stem + ".pem"), dir_ / (stem + "-key.pem")};
  writePem(issued.certificate, certificate.get(), nullptr);
  writePem(issued.privateKey, nullptr, key.get());
  return issued;
}

}  // namespace tavirel::test
