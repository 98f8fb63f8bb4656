#pragma once

#include "FrameWriter.h"

#include <optional>
#include <string>

namespace trestan::cli {

/// `.tif`: a TIFF file through libtiff. Axis 0 is the width and axis 1 the height; a frame of more
/// axes is written as pages (one per position of the axes above 1), a 1-D frame as a single row.
/// Sample format and bits per sample follow the element type; colour frames are RGB. The spatial
/// calibration goes into the resolution tags (pixels per centimetre for length units, so that
/// common viewers show the pixel size; pixels per unit otherwise) and an ImageJ-style description
/// whose unit matches the resolution as ImageJ reads it.
class TiffWriter final : public FrameWriter {
public:
    void checkSupported(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) const override;
    void write(const FrameReader& frame, const std::string& path) const override;

    /// Micrometres per unit for the length units ("pm", "Å", "nm", "µm", "um", "mm", "cm", "m"),
    /// or nothing for any other unit.
    static std::optional<double> micrometresPerUnit(const std::string& unit);
};

} // namespace trestan::cli
