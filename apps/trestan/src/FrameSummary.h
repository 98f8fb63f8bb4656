#pragma once

#include "trestan/toolkit/HostFile.h"
#include "velmora/ImageView.h"

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

namespace trestan::cli {

/// What `trestan info` tells about one frame: shape, element type, image properties, calibration,
/// view origin, whether the file ends inside its pixels and, when asked for, the SHA-256 of its
/// pixels.
class FrameSummary {
public:
    struct ViewOrigin {
        std::string displayName;
        velmora::ViewDataOrigin dataOrigin = velmora::ViewDataOrigin::UNKNOWN;
        std::size_t parentCount = 0;
    };

    /// Describes frame `index` of `file`; with `checksum`, hashes its pixels as its region reads
    /// deliver them, a piece at a time. A checksum of a frame that the file ends inside is refused
    /// unless `allowTruncated` (the missing bytes then count as zeros).
    static FrameSummary describe(const toolkit::HostFile& file, std::size_t index, bool checksum,
                                 bool allowTruncated);

    /// The frame as a JSON object: index, shape, dataType, dataTypeId, bitDepth, interpretation,
    /// valueRange, calibration, viewOrigin, for a frame that the file ends inside "truncated", "bytes"
    /// and "bytesInFile", and with a checksum, sha256.
    nlohmann::ordered_json toJson() const;

    /// One line for people: "frame 0: 512 x 256 float32, GRAYSCALE, origin (0, 0, 0) spacing (1, 1, 1) nm".
    std::string toText() const;

    std::size_t index() const { return m_index; }
    const velmora::VectorX<std::size_t>& shape() const { return m_shape; }
    velmora::DataType dataType() const { return m_dataType; }

private:
    std::size_t m_index = 0;
    velmora::VectorX<std::size_t> m_shape;
    velmora::DataType m_dataType;
    velmora::ImageInfoProperty m_info;
    velmora::SpatialCalibrationProperty m_calibration;
    std::optional<ViewOrigin> m_viewOrigin;
    // Stored bytes declared and held, for a frame that the file ends inside.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> m_truncation;
    std::optional<std::string> m_sha256;
};

} // namespace trestan::cli
