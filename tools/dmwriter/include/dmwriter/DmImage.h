#pragma once

#include "dmwriter/DmWriter.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// Images laid out the way DM writes them into "ImageList".
namespace dmwriter {

/// How the "Data" array of a DM image data type is stored: a plain array of one element code, or
/// (complex types) an array of groups, one group per pixel.
struct DataLayout {
    /// One code for a plain array; the field codes for an array of groups.
    std::vector<std::int64_t> codes;
    bool groups = false;
    /// Bytes per pixel, as the "PixelDepth" tag states it.
    std::uint32_t pixelDepth = 0;
};

/// The layout DM uses for the image data type `dataType`. For a code DM does not write (0, 4, 15
/// to 22 and others) a plain array of single bytes with pixel depth 1 stands in.
DataLayout dataLayout(std::int32_t dataType);

/// Calibration of one axis (or of the intensity): origin, scale and unit.
struct AxisCalibration {
    float origin = 0.0F;
    float scale = 1.0F;
    std::u16string units;
};

/// What one "ImageList" entry holds.
struct ImageDefinition {
    std::u16string name = u"Image";
    /// DM image data type code ("DataType").
    std::int32_t dataType = 7;
    /// "Dimensions", axis 0 (the fastest-varying) first.
    std::vector<std::uint32_t> dimensions;
    /// Pixel bytes exactly as stored; ignored when generatedPixels is set.
    Bytes pixels;
    /// Pixels produced while the file is written, for images too large to hold in memory.
    std::optional<GeneratedValue> generatedPixels;
    /// Element code of the dimension scalars.
    ElementType dimensionType = ElementType::UInt32;
    /// "Calibrations"/"Dimension" entries; unset means one default entry (origin 0, scale 1, no
    /// unit) per axis, an empty list an empty "Dimension" directory.
    std::optional<std::vector<AxisCalibration>> calibrations;
    /// Leave out the "Calibrations" directory altogether.
    bool withoutCalibrations = false;
    AxisCalibration brightness;
    std::array<std::uint32_t, 4> uniqueId{1, 2, 3, 4};
};

/// The parts of an added image that tests look at or change afterwards.
struct ImageEntry {
    Directory& entry;
    Directory& imageData;
    Directory& imageTags;
    /// The "Data" tag; its valueOffset() is what the reader reports as "DataOffset".
    Tag& data;
};

/// Appends one image as an unnamed directory to `imageList`, in DM's order: ImageData
/// (Calibrations, Data, DataType, Dimensions, PixelDepth), ImageTags, Name, UniqueID. The element
/// count of "Data" is the pixel byte count divided by the element (or group) size.
ImageEntry addImage(Directory& imageList, const ImageDefinition& description);

/// Distinct bytes: byte i is (i * 7 + seed + i / 251) mod 256, a pattern that does not repeat with
/// any power-of-two period, so that a byte read from the wrong place shows.
Bytes ramp(std::size_t size, std::uint8_t seed = 1);

/// An image of this data type code and shape whose pixels are a ramp, as many bytes per pixel as
/// the type's "PixelDepth".
ImageDefinition rampImage(std::int32_t dataType, std::vector<std::uint32_t> dimensions,
                          std::uint8_t seed = 1);

/// A file whose root holds one "ImageList" with `images`, in order.
DmFile imageFile(const std::vector<ImageDefinition>& images, Version version = Version::Dm4);

} // namespace dmwriter
