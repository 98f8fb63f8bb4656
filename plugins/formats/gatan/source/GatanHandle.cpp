#include "GatanHandle.h"

#include "velmora/Error.h"

#include <fmt/format.h>
#include <optional>

void throwEndedEarly(std::uint64_t offset, std::uint64_t count, std::uint64_t available) {
    throw velmora::Error(fmt::format("DM data ended early at offset {0}: {1} bytes needed, {2} available",
                                     offset, count, available));
}

void readRaw(GatanHandle& handle, std::uint64_t count, void* destination) {
    const std::uint64_t delivered = handle.stream->read(count, destination);
    if (delivered != count) {
        throwEndedEarly(handle.stream->tell() - delivered, count, delivered);
    }
}

void requireAvailable(GatanHandle& handle, std::uint64_t count) {
    const std::optional<std::uint64_t> size = handle.stream->size();
    if (!size) {
        return;
    }
    const std::uint64_t offset = handle.stream->tell();
    const std::uint64_t available = offset < *size ? *size - offset : 0;
    if (count > available) {
        throwEndedEarly(offset, count, available);
    }
}

std::uint64_t readAvailable(GatanHandle& handle, std::uint64_t count, void* destination) {
    return handle.stream->read(count, destination);
}
