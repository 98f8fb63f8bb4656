#pragma once

#include "Bindings.h"
#include "trestan/toolkit/ClosableResource.h"
#include "trestan/toolkit/FormatSupport.h"

#include <memory>
#include <optional>
#include <unistd.h>

namespace trestan::python {

/// A file opened by trestan.open(): its descriptor, which every read of its pixels uses, the format's
/// support and the file's index (tags and where each frame's bytes lie). Closing the descriptor is
/// the last thing that happens to it.
struct OpenFile {
    int fd = -1;
    const toolkit::FormatSupport* support = nullptr;
    toolkit::FileIndex index;

    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

/// Shared by a File and its Frames: close() of the File waits for the reads of every one of them,
/// and later reads of any of them raise ValueError.
using SharedFile = std::shared_ptr<toolkit::ClosableResource<OpenFile>>;
using FileLease = toolkit::ClosableResource<OpenFile>::Lease;

/// A lease on the open file, or ValueError("I/O operation on closed file").
inline FileLease leaseOf(const SharedFile& file) {
    std::optional<FileLease> lease = file->acquire();
    if (!lease) {
        throw py::value_error("I/O operation on closed file");
    }
    return std::move(*lease);
}

} // namespace trestan::python
