#pragma once

#include "FrameWriter.h"

#include <string>

namespace trestan::cli {

/// `.npy`: a NumPy array file, format version 1.0. The array is in C order with the frame's axes
/// reversed (the last NumPy axis is the frame's axis 0, the fastest-varying one), so the pixel bytes
/// are written unchanged; colour elements add a trailing axis of their components, complex elements
/// are complex64 or complex128; everything is little-endian, as the frames hold it.
class NpyWriter final : public FrameWriter {
public:
    void checkSupported(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) const override;
    void write(const FrameReader& frame, const std::string& path) const override;

    /// The NumPy type string of an element component: "<f4", "|u1", "<c8", ...
    static std::string descriptor(velmora::DataType type);
    /// The whole header, magic string to the newline, padded to a multiple of 64 bytes.
    static std::string header(const velmora::VectorX<std::size_t>& shape, velmora::DataType type);
};

} // namespace trestan::cli
