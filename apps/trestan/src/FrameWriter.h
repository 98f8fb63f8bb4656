#pragma once

#include "FrameReader.h"

#include <memory>
#include <string>
#include <vector>

namespace trestan::cli {

/// Writes one frame to a file of some format. A writer refuses a frame that its format cannot hold
/// with UsageError before it creates the file, and reports failures of the output with OutputError.
class FrameWriter {
public:
    virtual ~FrameWriter();

    /// Throws UsageError when the format cannot hold a frame of this shape and type.
    virtual void checkSupported(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) const = 0;

    /// Writes the frame that `frame` reads to `path`, replacing the file, a piece at a time.
    virtual void write(const FrameReader& frame, const std::string& path) const = 0;

    /// The writer for the extension of `path` (".npy", ".tif", ".tiff", ".png", ".raw", in any
    /// case), or nullptr.
    static std::unique_ptr<FrameWriter> forPath(const std::string& path);

    /// The extensions that forPath knows, for messages.
    static std::vector<std::string> knownExtensions();
};

} // namespace trestan::cli
