#pragma once

#include "velmora/DataType.h"
#include "velmora/Export.h"
#include "velmora/Vector.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

/// What the axes of an image mean.
enum class ImageTypeId : std::uint32_t {
    UNKNOWN = 0,
    SIGNAL = 1,   ///< one axis: a spectrum or profile
    IMAGE = 2,    ///< two spatial axes
    VOLUME = 3,   ///< three spatial axes
    SEQUENCE = 4, ///< a stack of images
};

/// How the values of an image are to be read.
enum class ImageInterpretation : std::uint32_t {
    UNKNOWN = 0,
    GRAYSCALE = 1,
    COMPLEX = 2,
    BINARY = 3,
    LABEL = 4,
    MULTICHANNEL = 32,
    RGB = 33,
    RGBA = 34,
};

/// Interpretation, axes, bit depth and value range of an image.
class VELMORA_API ImageInfoProperty {
public:
    ImageTypeId axes() const { return m_axes; }
    ImageInterpretation interpretation() const { return m_interpretation; }
    std::uint32_t bitDepth() const { return m_bitDepth; }
    const Vector<double, 2>& valueRange() const { return m_valueRange; }

    void setAxes(ImageTypeId axes) { m_axes = axes; }
    void setInterpretation(ImageInterpretation interpretation) { m_interpretation = interpretation; }
    void setBitDepth(std::uint32_t bitDepth) { m_bitDepth = bitDepth; }
    void setValueRange(const Vector<double, 2>& range) { m_valueRange = range; }

private:
    ImageTypeId m_axes = ImageTypeId::UNKNOWN;
    ImageInterpretation m_interpretation = ImageInterpretation::UNKNOWN;
    std::uint32_t m_bitDepth = 0;
    Vector<double, 2> m_valueRange{0.0, 0.0};
};

/// Spatial calibration of the first three axes: physical position of the first element (origin),
/// distance between neighbouring elements (spacing), and the unit of both.
class VELMORA_API SpatialCalibrationProperty {
public:
    const Vector<double, 3>& origin() const { return m_origin; }
    const Vector<double, 3>& spacing() const { return m_spacing; }
    const std::string& unit() const { return m_unit; }

    void setOrigin(const Vector<double, 3>& origin) { m_origin = origin; }
    void setSpacing(const Vector<double, 3>& spacing) { m_spacing = spacing; }
    void setUnit(const std::string& unit) { m_unit = unit; }

private:
    Vector<double, 3> m_origin = Vector<double, 3>::createUniform(0.0);
    Vector<double, 3> m_spacing = Vector<double, 3>::createUniform(1.0);
    std::string m_unit;
};

/// The properties of an image view.
class VELMORA_API ImageProperties {
public:
    /// Defaults derived from an element type: bit depth = bits per component; value range = the
    /// type's range (integers: [min, max]; floating point and complex: [lowest, max] of the
    /// component type); interpretation GRAYSCALE for one real component, COMPLEX for complex types,
    /// MULTICHANNEL otherwise; axes UNKNOWN; calibration origin 0, spacing 1, no unit. An invalid
    /// type keeps interpretation UNKNOWN and the range [0, 0].
    static std::shared_ptr<ImageProperties> fromDataType(DataType type);

    ImageInfoProperty& imageInfo() { return m_imageInfo; }
    const ImageInfoProperty& imageInfo() const { return m_imageInfo; }
    SpatialCalibrationProperty& calibration() { return m_calibration; }
    const SpatialCalibrationProperty& calibration() const { return m_calibration; }

private:
    ImageInfoProperty m_imageInfo;
    SpatialCalibrationProperty m_calibration;
};

} // namespace velmora
