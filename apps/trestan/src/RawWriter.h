#pragma once

#include "FrameWriter.h"

namespace trestan::cli {

/// `.raw`: the bytes of the whole-frame region read, nothing else.
class RawWriter final : public FrameWriter {
public:
    void checkSupported(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) const override;
    void write(const FrameReader& frame, const std::string& path) const override;
};

} // namespace trestan::cli
