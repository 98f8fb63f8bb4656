#include "Sha256.h"

#include "velmora/Error.h"

#include <openssl/evp.h>

namespace trestan::cli {

struct Sha256::Context {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
};

namespace {

[[noreturn]] void fail() {
    throw velmora::Error("SHA-256 computation failed in libcrypto");
}

} // namespace

Sha256::Sha256() : m_context(std::make_unique<Context>()) {
    if (!m_context->digest || EVP_DigestInit_ex(m_context->digest.get(), EVP_sha256(), nullptr) != 1) {
        fail();
    }
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(m_context->digest.get(), data, size) != 1) {
        fail();
    }
}

std::string Sha256::hexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_DigestFinal_ex(m_context->digest.get(), digest, &digestSize) != 1) {
        fail();
    }
    static constexpr char Hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(digestSize * 2);
    for (unsigned int i = 0; i < digestSize; ++i) {
        text.push_back(Hex[digest[i] >> 4]);
        text.push_back(Hex[digest[i] & 0x0F]);
    }
    return text;
}

} // namespace trestan::cli
