#include "GatanFrameExtractor.h"

#include "GatanExtractor.h"
#include "InternalPluginLogger.h"
#include "PluginLogger.h"
#include "ViewOriginExtensionImpl.h"
#include "velmora/Error.h"
#include "velmora/VariantDataValue.h"

#include <cstring>
#include <fmt/format.h>
#include <utility>

namespace {

// velmora::DataType of a DM image data type code; the settings of codes 8, 14 and 23 are applied
// by the frame.
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

} // namespace

GatanFrameExtractor::GatanFrameExtractor(std::shared_ptr<GatanHandle> handle,
                                         std::shared_ptr<velmora::MetadataNode> imageData,
                                         velmora::View* parent, std::size_t imageIndex)
    : m_handle(std::move(handle)), m_imageIndex(imageIndex) {
    m_metadata = m_handle->metadata;
    if (auto instance = InternalPluginLogger::instance()) {
        instance->logger()->log(spdlog::source_loc{__FILE__, __LINE__, static_cast<const char*>(__func__)},
                                spdlog::level::debug, "Parsing ImageData tag to extract frame info");
    }
    m_capabilities = 1;

    readShape(imageData);
    const int code = readDataType(imageData);

    if (m_dataType.id() == velmora::DataTypeId::RGB8) {
        // Each stored colour pixel takes 4 bytes; the strides step over the unused fourth byte.
        velmora::VectorX<std::size_t> strides(m_shape.size());
        std::size_t stride = 4;
        for (std::size_t k = 0; k < m_shape.size(); ++k) {
            strides[k] = stride;
            if (__builtin_mul_overflow(stride, m_shape[k], &stride)) {
                throw velmora::Error(fmt::format("Image {0} is too large to address", m_imageIndex));
            }
        }
        m_indexer = velmora::Indexer(m_shape, m_dataType, strides);
    } else {
        m_indexer = velmora::Indexer(m_shape, m_dataType);
    }

    const auto dataOffset = requireChild(imageData, "DataOffset", "ImageData");
    m_dataOffset = velmora::VariantDataValueConverter::toUint64(
        *requireValue(dataOffset, "\"DataOffset\" of image {0}", m_imageIndex));

    m_properties = velmora::ImageProperties::fromDataType(m_dataType);
    if (m_shape.size() == 2) {
        m_properties->imageInfo().setAxes(velmora::ImageTypeId::IMAGE);
    }
    if (m_dataType.id() == velmora::DataTypeId::RGB8) {
        m_properties->imageInfo().setInterpretation(velmora::ImageInterpretation::RGB);
    } else if (code == 14) {
        m_properties->imageInfo().setBitDepth(1);
        m_properties->imageInfo().setValueRange(velmora::Vector<double, 2>{0.0, 1.0});
        m_properties->imageInfo().setInterpretation(velmora::ImageInterpretation::BINARY);
    }
    readCalibration(imageData);

    loadPixels();

    auto record = std::make_shared<ViewOriginExtensionImpl>(
        std::string(GatanExtractor::PluginName) + " frame Extractor", parent);
    m_extensionRegister.add(velmora::VIEW_ORIGIN_EXTENSION, record);
}

GatanFrameExtractor::~GatanFrameExtractor() = default;

std::shared_ptr<velmora::MetadataNode>
GatanFrameExtractor::requireChild(const std::shared_ptr<velmora::MetadataNode>& node, std::string_view name,
                                  std::string_view where) const {
    auto child = node->child(name);
    if (!child) {
        throw velmora::Error(fmt::format("Image {0} has no \"{1}\" in \"{2}\"", m_imageIndex, name, where));
    }
    return child;
}

void GatanFrameExtractor::readShape(const std::shared_ptr<velmora::MetadataNode>& imageData) {
    const auto dimensions = requireChild(imageData, "Dimensions", "ImageData");
    if (dimensions->childCount() > MaxAxes) {
        throw velmora::Error(fmt::format("Image {0} has {1} dimensions; at most {2} are supported",
                                         m_imageIndex, dimensions->childCount(), MaxAxes));
    }
    m_shape = velmora::VectorX<std::size_t>(dimensions->childCount());
    std::size_t axis = 0;
    for (const auto& entry : *dimensions) {
        const std::int64_t length = velmora::VariantDataValueConverter::toInt64(
            *requireValue(entry, "Dimension {0} of image {1}", axis, m_imageIndex));
        if (length < 0) {
            throw velmora::Error(
                fmt::format("Image {0} has a negative length {1} on axis {2}", m_imageIndex, length, axis));
        }
        m_shape[axis++] = static_cast<std::size_t>(length);
    }
}

int GatanFrameExtractor::readDataType(const std::shared_ptr<velmora::MetadataNode>& imageData) {
    const auto dataType = requireChild(imageData, "DataType", "ImageData");
    const int code = velmora::VariantDataValueConverter::toInt32(
        *requireValue(dataType, "\"DataType\" of image {0}", m_imageIndex));
    m_dataType = imageDataType(code);
    return code;
}

void GatanFrameExtractor::readCalibration(const std::shared_ptr<velmora::MetadataNode>& imageData) {
    // "Calibrations/Dimension": the first child of each name, as a path look-up takes it.
    const auto calibrations = imageData->child("Calibrations");
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
        if (i >= 3 || i >= m_shape.size()) {
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
    auto& calibration = m_properties->calibration();
    calibration.setOrigin(origin);
    calibration.setSpacing(spacing);
    calibration.setUnit(unit);
}

void GatanFrameExtractor::loadPixels() {
    // The buffer is not zero-filled on allocation: the read overwrites it, and only the bytes a
    // truncated file does not deliver are cleared afterwards.
    m_buffer.allocate(m_indexer.byteCount());
    seekFromStart(*m_handle, m_dataOffset);
    const std::uint64_t delivered =
        m_buffer.empty() ? 0 : readAvailable(*m_handle, m_buffer.size(), m_buffer.data());
    // Freshly mapped large buffers are zero already; small ones come from malloc.
    if (delivered < m_buffer.size() && m_buffer.size() < PixelBufferAllocator<std::uint8_t>::MapThreshold) {
        std::memset(m_buffer.data() + delivered, 0, m_buffer.size() - delivered);
    }
}

void GatanFrameExtractor::readRegion(const velmora::RegionX<std::size_t>& region, void* destination) {
    velmora::RegionCopier copier(m_indexer, region, m_dataType);
    copier.copy(m_buffer.data(), static_cast<std::uint8_t*>(destination));
}
