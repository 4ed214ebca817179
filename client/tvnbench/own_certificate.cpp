// Making an own server's self-signed certificate with OpenSSL.
#include "own_certificate.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "bench_session.h"

namespace tvnbench {

namespace {

template <auto free_function>
struct freer {
    template <typename T>
    void operator()(T *object) const {
        free_function(object);
    }
};
using key_ptr = std::unique_ptr<EVP_PKEY, freer<EVP_PKEY_free>>;
using certificate_ptr = std::unique_ptr<X509, freer<X509_free>>;
struct file_closer {
    void operator()(FILE *file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

bool add_extension(X509 *certificate, int nid, const char *value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

certificate_ptr self_signed(EVP_PKEY *key) {
    certificate_ptr certificate(X509_new());
    if (!certificate) return certificate;
    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
    serial[0] &= 0x7f; // a positive serial number
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serial_set = number != nullptr &&
                            BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    const auto *common_name = reinterpret_cast<const unsigned char *>("localhost");
    const bool ok =
        serial_set && X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600) != nullptr &&
        X509_set_pubkey(certificate.get(), key) == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, common_name, -1, -1, 0) == 1 &&
        X509_set_issuer_name(certificate.get(), name) == 1 &&
        add_extension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE") &&
        add_extension(certificate.get(), NID_key_usage,
                      "critical,digitalSignature,keyCertSign") &&
        add_extension(certificate.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
        X509_sign(certificate.get(), key, EVP_sha256()) > 0;
    if (!ok) certificate.reset();
    return certificate;
}

} // namespace

void make_own_certificate(const std::string &certificate_file, const std::string &key_file) {
    const key_ptr key(EVP_EC_gen("P-256"));
    if (!key) throw bench_error("cannot make a key for the server's certificate");
    const certificate_ptr certificate = self_signed(key.get());
    if (!certificate) throw bench_error("cannot make the server's certificate");

    const int key_fd = open(key_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    file_ptr key_out(key_fd >= 0 ? fdopen(key_fd, "w") : nullptr);
    if (!key_out && key_fd >= 0) close(key_fd);
    if (!key_out ||
        PEM_write_PrivateKey(key_out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        std::fclose(key_out.release()) != 0)
        throw bench_error("cannot write " + key_file);
    file_ptr certificate_out(std::fopen(certificate_file.c_str(), "w"));
    if (!certificate_out || PEM_write_X509(certificate_out.get(), certificate.get()) != 1 ||
        std::fclose(certificate_out.release()) != 0)
        throw bench_error("cannot write " + certificate_file);
}

} // namespace tvnbench
