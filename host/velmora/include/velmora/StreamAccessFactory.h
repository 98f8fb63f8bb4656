#pragma once

#include "velmora/Export.h"
#include "velmora/RandomAccess.h"
#include "velmora/StreamAccess.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

/// Creates the streams the host libraries provide.
class VELMORA_API StreamAccessFactory {
public:
    /// Default buffer of a file stream: small reads are served from it, larger ones bypass it.
    static constexpr std::size_t DefaultBufferSize = 256 * 1024;

    /// Opens `path` for reading through a buffered file stream (READ | SEEK | SIZE). Fails with
    /// velmora::Error naming the path and the system's reason.
    static std::shared_ptr<StreamAccess> openFileRead(const std::string& path,
                                                      std::size_t bufferSize = DefaultBufferSize);

    /// A stream over a random-access source (READ | SEEK | SIZE).
    static std::shared_ptr<StreamAccess> fromRandomAccess(std::shared_ptr<RandomAccess> source);

    /// A stream over bytes in memory that the stream shares ownership of.
    static std::shared_ptr<StreamAccess> fromMemory(std::shared_ptr<const std::vector<std::uint8_t>> bytes);

    /// A stream over bytes in memory that the caller keeps alive for the stream's lifetime.
    static std::shared_ptr<StreamAccess> fromMemory(const void* data, std::size_t size);
};

} // namespace velmora
