#include "GatanHandle.h"

#include "velmora/Error.h"

#include <fmt/format.h>

void readRaw(GatanHandle& handle, std::uint64_t count, void* destination) {
    const std::uint64_t delivered = handle.stream->read(count, destination);
    if (delivered != count) {
        const std::uint64_t offset = handle.stream->tell() - delivered;
        throw velmora::Error(fmt::format("DM data ended early at offset {0}: {1} bytes needed, {2} available",
                                         offset, count, delivered));
    }
}

std::uint64_t readAvailable(GatanHandle& handle, std::uint64_t count, void* destination) {
    return handle.stream->read(count, destination);
}
