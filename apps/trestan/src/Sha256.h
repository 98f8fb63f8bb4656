#pragma once

#include <cstddef>
#include <string>

namespace trestan::cli {

/// SHA-256 through OpenSSL's libcrypto (EVP interface).
class Sha256 {
public:
    /// The digest of `size` bytes at `data` as 64 lower-case hexadecimal digits.
    static std::string hexDigest(const void* data, std::size_t size);
};

} // namespace trestan::cli
