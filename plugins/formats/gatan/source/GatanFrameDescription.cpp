#include "GatanFrameDescription.h"

#include "velmora/Error.h"
#include "velmora/VariantDataValue.h"

#include <fmt/format.h>
#include <string>
#include <string_view>
#include <utility>

namespace {

// velmora::DataType of a DM image data type code; the settings of codes 8, 14 and 23 are applied
// by describeFrame.
velmora::DataType imageDataType(int code) {
    using velmora::DataTypeId;
    switch (code) {
    case 1:
        return velmora::DataType(DataTypeId::Int16);
    case 2:
        return velmora::DataType(DataTypeId::Float32);
    case 3:
        return velmora::DataType(DataTypeId::Complex64);
    case 5:
        throw velmora::Error("Unsupported packed complex format");
    case 6:
    case 14: // binary, one byte per pixel
        return velmora::DataType(DataTypeId::UInt8);
    case 7:
        return velmora::DataType(DataTypeId::Int32);
    case 8:
    case 23: // colour, 4 bytes per pixel of which the first three are used
        return velmora::DataType(DataTypeId::RGB8);
    case 9:
        return velmora::DataType(DataTypeId::Int8);
    case 10:
        return velmora::DataType(DataTypeId::UInt16);
    case 11:
        return velmora::DataType(DataTypeId::UInt32);
    case 12:
        return velmora::DataType(DataTypeId::Float64);
    case 13:
        return velmora::DataType(DataTypeId::Complex128);
    default:
        throw velmora::Error(fmt::format("Unsupported data type: {0}", code));
    }
}

/// The value of `node`; the description of where it is, formatted only for the error, names it when
/// it has none.
template <typename... Args>
std::shared_ptr<velmora::VariantDataValue> requireValue(const std::shared_ptr<velmora::MetadataNode>& node,
                                                        fmt::format_string<Args...> where, Args&&... args) {
    auto value = node->value();
    if (!value) {
        throw velmora::Error(
            fmt::format("{0} has no value", fmt::format(where, std::forward<Args>(args)...)));
    }
    return value;
}

/// The tags of one "ImageData" directory, read into a description in the order the checks run.
class ImageDataReader {
public:
    ImageDataReader(const std::shared_ptr<velmora::MetadataNode>& imageData, std::size_t imageIndex)
        : m_imageData(imageData), m_imageIndex(imageIndex) {}

    GatanFrameDescription read() {
        GatanFrameDescription description;
        readShape(description);
        readDataType(description);

        if (description.dataType.id() == velmora::DataTypeId::RGB8) {
            // Each stored colour pixel takes 4 bytes; the strides step over the unused fourth byte.
            velmora::VectorX<std::size_t> strides(description.shape.size());
            std::size_t stride = 4;
            for (std::size_t k = 0; k < description.shape.size(); ++k) {
                strides[k] = stride;
                if (__builtin_mul_overflow(stride, description.shape[k], &stride)) {
                    throw velmora::Error(fmt::format("Image {0} is too large to address", m_imageIndex));
                }
            }
            description.layout = velmora::Indexer(description.shape, description.dataType, strides);
        } else {
            description.layout = velmora::Indexer(description.shape, description.dataType);
        }

        const auto dataOffset = requireChild(m_imageData, "DataOffset", "ImageData");
        description.dataOffset = velmora::VariantDataValueConverter::toUint64(
            *requireValue(dataOffset, "\"DataOffset\" of image {0}", m_imageIndex));

        description.properties = velmora::ImageProperties::fromDataType(description.dataType);
        auto& info = description.properties->imageInfo();
        if (description.shape.size() == 2) {
            info.setAxes(velmora::ImageTypeId::IMAGE);
        }
        if (description.dataType.id() == velmora::DataTypeId::RGB8) {
            info.setInterpretation(velmora::ImageInterpretation::RGB);
        } else if (description.dataTypeCode == 14) {
            info.setBitDepth(1);
            info.setValueRange(velmora::Vector<double, 2>{0.0, 1.0});
            info.setInterpretation(velmora::ImageInterpretation::BINARY);
        }
        readCalibration(description);
        return description;
    }

private:
    std::shared_ptr<velmora::MetadataNode> requireChild(const std::shared_ptr<velmora::MetadataNode>& node,
                                                        std::string_view name, std::string_view where) const {
        auto child = node->child(name);
        if (!child) {
            throw velmora::Error(
                fmt::format("Image {0} has no \"{1}\" in \"{2}\"", m_imageIndex, name, where));
        }
        return child;
    }

    void readShape(GatanFrameDescription& description) const {
        const auto dimensions = requireChild(m_imageData, "Dimensions", "ImageData");
        if (dimensions->childCount() > GatanFrameDescription::MaxAxes) {
            throw velmora::Error(fmt::format("Image {0} has {1} dimensions; at most {2} are supported",
                                             m_imageIndex, dimensions->childCount(),
                                             GatanFrameDescription::MaxAxes));
        }
        description.shape = velmora::VectorX<std::size_t>(dimensions->childCount());
        std::size_t axis = 0;
        for (const auto& entry : *dimensions) {
            const std::int64_t length = velmora::VariantDataValueConverter::toInt64(
                *requireValue(entry, "Dimension {0} of image {1}", axis, m_imageIndex));
            if (length < 0) {
                throw velmora::Error(fmt::format("Image {0} has a negative length {1} on axis {2}",
                                                 m_imageIndex, length, axis));
            }
            description.shape[axis++] = static_cast<std::size_t>(length);
        }
    }

    void readDataType(GatanFrameDescription& description) const {
        const auto dataType = requireChild(m_imageData, "DataType", "ImageData");
        description.dataTypeCode = velmora::VariantDataValueConverter::toInt32(
            *requireValue(dataType, "\"DataType\" of image {0}", m_imageIndex));
        description.dataType = imageDataType(description.dataTypeCode);
    }

    void readCalibration(GatanFrameDescription& description) const {
        // "Calibrations/Dimension": the first child of each name, as a path look-up takes it.
        const auto calibrations = m_imageData->child("Calibrations");
        const auto dimension = calibrations ? calibrations->child("Dimension") : nullptr;
        if (!dimension) {
            return;
        }
        auto origin = velmora::Vector<double, 3>::createUniform(0.0);
        auto spacing = velmora::Vector<double, 3>::createUniform(1.0);
        std::string unit;
        // Origin and spacing have room for three axes and the image keeps only the unit of axis 0;
        // entries beyond the image's axes or beyond three are ignored.
        std::size_t i = 0;
        for (const auto& entry : *dimension) {
            if (i >= 3 || i >= description.shape.size()) {
                break;
            }
            // The entry's path is spelt out only for the error of a missing field or value.
            const auto field = [&](const char* name) {
                auto child = entry->child(name);
                auto value = child ? child->value() : nullptr;
                if (!value) {
                    const std::string where = fmt::format("Calibrations/Dimension/{0}", entry->name());
                    requireValue(requireChild(entry, name, where), "{0}/{1}", where, name);
                }
                return value;
            };
            origin[i] = velmora::VariantDataValueConverter::toDouble(*field("Origin"));
            spacing[i] = velmora::VariantDataValueConverter::toDouble(*field("Scale"));
            const std::string units = velmora::VariantDataValueConverter::toString(*field("Units"));
            if (i == 0) {
                unit = units;
            }
            ++i;
        }
        auto& calibration = description.properties->calibration();
        calibration.setOrigin(origin);
        calibration.setSpacing(spacing);
        calibration.setUnit(unit);
    }

    const std::shared_ptr<velmora::MetadataNode>& m_imageData;
    std::size_t m_imageIndex;
};

} // namespace

GatanFrameDescription describeFrame(const std::shared_ptr<velmora::MetadataNode>& imageData,
                                    std::size_t imageIndex) {
    return ImageDataReader(imageData, imageIndex).read();
}

std::shared_ptr<velmora::MetadataNode> imageListOf(const velmora::MetadataNode& root) {
    auto imageList = root.child("GATAN")->child("ImageList");
    if (!imageList) {
        throw velmora::Error("The file has no \"ImageList\" tag directory");
    }
    return imageList;
}

std::shared_ptr<velmora::MetadataNode> imageDataOf(const velmora::MetadataNode& entry,
                                                   std::size_t imageIndex) {
    auto imageData = entry.child("ImageData");
    if (!imageData) {
        throw velmora::Error(fmt::format("Image {0} (\"ImageList/{1}\") has no \"ImageData\" tag directory",
                                         imageIndex, entry.name()));
    }
    return imageData;
}
