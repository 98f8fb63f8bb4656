#include "dmwriter/DmImage.h"

#include <stdexcept>

namespace dmwriter {

DataLayout dataLayout(std::int32_t dataType) {
    const auto plain = [](ElementType type) {
        return DataLayout{{code(type)}, false, static_cast<std::uint32_t>(elementSize(type))};
    };
    switch (dataType) {
    case 1:
        return plain(ElementType::Int16);
    case 2:
        return plain(ElementType::Float32);
    case 3:
    case 5:
        return DataLayout{{code(ElementType::Float32), code(ElementType::Float32)}, true, 8};
    case 6:
        return plain(ElementType::UInt8);
    case 7:
        return plain(ElementType::Int32);
    case 8:
    case 23:
        // DM stores a colour pixel (B, G, R, unused byte) as one 32-bit element.
        return plain(ElementType::Int32);
    case 9:
        return plain(ElementType::Int8);
    case 10:
        return plain(ElementType::UInt16);
    case 11:
        return plain(ElementType::UInt32);
    case 12:
        return plain(ElementType::Float64);
    case 13:
        return DataLayout{{code(ElementType::Float64), code(ElementType::Float64)}, true, 16};
    case 14:
    default:
        return plain(ElementType::Bool);
    }
}

namespace {

void addCalibration(Directory& directory, const AxisCalibration& calibration) {
    directory.flags(1, 0);
    directory.addTag("Origin", Tag::float32(calibration.origin));
    directory.addTag("Scale", Tag::float32(calibration.scale));
    directory.addTag("Units", Tag::utf16Array(calibration.units));
}

Tag dataTag(const ImageDefinition& description) {
    const DataLayout layout = dataLayout(description.dataType);
    std::uint64_t elementBytes = 0;
    for (std::int64_t fieldCode : layout.codes) {
        elementBytes += elementSize(fieldCode);
    }
    const std::uint64_t byteCount =
        description.generatedPixels ? description.generatedPixels->size : description.pixels.size();
    if (byteCount % elementBytes != 0) {
        throw std::invalid_argument(
            "pixel bytes are not a whole number of elements of the image's data type");
    }
    const auto count = static_cast<std::int64_t>(byteCount / elementBytes);
    if (layout.groups) {
        return description.generatedPixels
                   ? Tag::generatedGroupArray(layout.codes, count, *description.generatedPixels)
                   : Tag::groupArray(layout.codes, count, description.pixels);
    }
    return description.generatedPixels
               ? Tag::generated({ArrayCode, layout.codes.front(), count}, *description.generatedPixels)
               : Tag::array(layout.codes.front(), count, description.pixels);
}

Tag dimensionTag(ElementType type, std::uint32_t length) {
    switch (type) {
    case ElementType::Int32:
        return Tag::int32(static_cast<std::int32_t>(length));
    case ElementType::UInt32:
        return Tag::uint32(length);
    case ElementType::Int64:
        return Tag::int64(length);
    case ElementType::UInt64:
        return Tag::uint64(length);
    case ElementType::Int16:
        return Tag::int16(static_cast<std::int16_t>(length));
    case ElementType::UInt16:
        return Tag::uint16(static_cast<std::uint16_t>(length));
    default:
        throw std::invalid_argument("dimensions are integers");
    }
}

} // namespace

ImageEntry addImage(Directory& imageList, const ImageDefinition& description) {
    Directory& entry = imageList.addDirectory();
    entry.flags(1, 0);

    Directory& imageData = entry.addDirectory("ImageData");
    imageData.flags(1, 0);
    if (!description.withoutCalibrations) {
        Directory& calibrations = imageData.addDirectory("Calibrations");
        calibrations.flags(1, 0);
        addCalibration(calibrations.addDirectory("Brightness"), description.brightness);
        Directory& dimension = calibrations.addDirectory("Dimension");
        if (description.calibrations) {
            for (const AxisCalibration& axis : *description.calibrations) {
                addCalibration(dimension.addDirectory(), axis);
            }
        } else {
            for (std::size_t axis = 0; axis < description.dimensions.size(); ++axis) {
                addCalibration(dimension.addDirectory(), AxisCalibration{});
            }
        }
        calibrations.addTag("DisplayCalibratedUnits", Tag::boolean(true));
    }
    Tag& data = imageData.addTag("Data", dataTag(description));
    imageData.addTag("DataType", Tag::uint32(static_cast<std::uint32_t>(description.dataType)));
    Directory& dimensions = imageData.addDirectory("Dimensions");
    for (std::uint32_t length : description.dimensions) {
        dimensions.addTag(dimensionTag(description.dimensionType, length));
    }
    imageData.addTag("PixelDepth", Tag::uint32(dataLayout(description.dataType).pixelDepth));

    Directory& imageTags = entry.addDirectory("ImageTags");
    imageTags.flags(1, 0);
    entry.addTag("Name", Tag::utf16Array(description.name));
    Directory& uniqueId = entry.addDirectory("UniqueID");
    for (std::uint32_t part : description.uniqueId) {
        uniqueId.addTag(Tag::uint32(part));
    }
    return ImageEntry{entry, imageData, imageTags, data};
}

Bytes ramp(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + i / 251);
    }
    return bytes;
}

ImageDefinition rampImage(std::int32_t dataType, std::vector<std::uint32_t> dimensions, std::uint8_t seed) {
    std::size_t pixels = 1;
    for (std::uint32_t length : dimensions) {
        pixels *= length;
    }
    ImageDefinition image;
    image.dataType = dataType;
    image.dimensions = std::move(dimensions);
    image.pixels = ramp(pixels * dataLayout(dataType).pixelDepth, seed);
    return image;
}

DmFile imageFile(const std::vector<ImageDefinition>& images, Version version) {
    DmFile file(version);
    Directory& imageList = file.root().addDirectory("ImageList");
    for (const ImageDefinition& image : images) {
        addImage(imageList, image);
    }
    return file;
}

} // namespace dmwriter
