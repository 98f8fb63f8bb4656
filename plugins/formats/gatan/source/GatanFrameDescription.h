#pragma once

#include "velmora/DataType.h"
#include "velmora/ImageProperties.h"
#include "velmora/Indexer.h"
#include "velmora/MetadataNode.h"
#include "velmora/Vector.h"

#include <cstddef>
#include <cstdint>
#include <memory>

/// What one image of a DM file is, from the tags of its "ImageData" directory alone: no pixel is
/// read to make it. The frame view is built from it, and so is the file index that hosts read tags
/// with before they ask for pixels.
struct GatanFrameDescription {
    /// DM stores no more axes than fit in a byte.
    static constexpr std::size_t MaxAxes = 255;

    /// One length per "Dimensions" entry, axis 0 (the fastest-varying) first.
    velmora::VectorX<std::size_t> shape;
    /// The element type a region read delivers: colour as three 8-bit components, binary as 8-bit.
    velmora::DataType dataType;
    /// The DM image data type code ("DataType").
    std::int32_t dataTypeCode = 0;
    /// The pixels as the file stores them, from the first pixel byte: packed with axis 0 fastest,
    /// except colour pixels, which take 4 bytes of which the first three are the components.
    velmora::Indexer layout;
    /// Absolute position of the first pixel byte in the file ("DataOffset").
    std::uint64_t dataOffset = 0;
    /// Interpretation, axes, bit depth, value range and calibration.
    std::shared_ptr<velmora::ImageProperties> properties;
};

/// Describes image `imageIndex` (which names it in errors) from its "ImageData" directory. Throws
/// velmora::Error for a data type the reader refuses ("Unsupported data type: {0}", "Unsupported
/// packed complex format") and for a missing or valueless "Dimensions", "DataType", "DataOffset" or
/// calibration field, too many axes, a negative length and a layout too large to address.
GatanFrameDescription describeFrame(const std::shared_ptr<velmora::MetadataNode>& imageData,
                                    std::size_t imageIndex);

/// The "ImageList" directory of a walked tree (`root` is "root", holding "GATAN"): one frame per
/// entry. velmora::Error when the file has none.
std::shared_ptr<velmora::MetadataNode> imageListOf(const velmora::MetadataNode& root);

/// The "ImageData" directory of "ImageList" entry `imageIndex`; velmora::Error when it has none.
std::shared_ptr<velmora::MetadataNode> imageDataOf(const velmora::MetadataNode& entry,
                                                   std::size_t imageIndex);
