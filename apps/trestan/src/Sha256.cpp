#include "Sha256.h"

#include "velmora/Error.h"

#include <memory>
#include <openssl/evp.h>

namespace trestan::cli {

std::string Sha256::hexDigest(const void* data, std::size_t size) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), data, size) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &digestSize) != 1) {
        throw velmora::Error("SHA-256 computation failed in libcrypto");
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
