#include "velmora/ImageProperties.h"

#include <cmath>
#include <limits>

namespace velmora {

namespace {

// Range of one component: the full range of an integer of its width, or the finite range of the
// IEEE 754 format of its width (half, single or double precision).
Vector<double, 2> componentRange(DataType type) {
    const int bits = static_cast<int>(type.bitsPerComponent());
    switch (type.kind()) {
    case PrimitiveKind::UnsignedInteger:
        return {0.0, std::ldexp(1.0, bits) - 1.0};
    case PrimitiveKind::SignedInteger:
        return {-std::ldexp(1.0, bits - 1), std::ldexp(1.0, bits - 1) - 1.0};
    case PrimitiveKind::FloatingPoint:
        switch (bits) {
        case 16:
            return {-65504.0, 65504.0};
        case 32:
            return {static_cast<double>(std::numeric_limits<float>::lowest()),
                    static_cast<double>(std::numeric_limits<float>::max())};
        case 64:
            return {std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max()};
        default:
            return {0.0, 0.0};
        }
    case PrimitiveKind::Unknown:
        break;
    }
    return {0.0, 0.0};
}

} // namespace

std::shared_ptr<ImageProperties> ImageProperties::fromDataType(DataType type) {
    auto properties = std::make_shared<ImageProperties>();
    ImageInfoProperty& info = properties->imageInfo();
    info.setBitDepth(type.bitsPerComponent());
    if (!type.isValid()) {
        return properties;
    }
    info.setValueRange(componentRange(type));
    if (type.isComplex()) {
        info.setInterpretation(ImageInterpretation::COMPLEX);
    } else if (type.components() == 1) {
        info.setInterpretation(ImageInterpretation::GRAYSCALE);
    } else {
        info.setInterpretation(ImageInterpretation::MULTICHANNEL);
    }
    return properties;
}

} // namespace velmora
