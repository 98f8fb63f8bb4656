#pragma once

#include "FrameWriter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace trestan::cli {

/// `.png`: an 8-bit preview for looking at, through libpng. Axis 0 is the width and axis 1 the
/// height; of a frame with more axes the first slice is shown. Grey values are scaled linearly so
/// that the 0.5th percentile becomes black and the 99.5th white; colour pixels are written as they
/// are; complex pixels are shown by their magnitude. 1-D frames are refused.
class PngPreviewWriter final : public FrameWriter {
public:
    static constexpr double LowPercentile = 0.5;
    static constexpr double HighPercentile = 99.5;

    void checkSupported(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) const override;
    void write(const FrameReader& frame, const std::string& path) const override;

    /// The values that grey levels 0 and 255 stand for.
    struct GreyScale {
        double low = 0.0;
        double high = 0.0;

        /// 0 for NaN and what is at most `low`, 255 for what is at least `high`, linear between.
        std::uint8_t level(double value) const;
    };
};

} // namespace trestan::cli
