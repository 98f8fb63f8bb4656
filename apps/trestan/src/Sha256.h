#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace trestan::cli {

/// SHA-256 through OpenSSL's libcrypto (EVP interface), fed a piece at a time.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    /// Adds `size` bytes at `data`.
    void update(const void* data, std::size_t size);
    /// The digest of the bytes added, as 64 lower-case hexadecimal digits; ends the hash.
    std::string hexDigest();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

} // namespace trestan::cli
