#include "trestan/toolkit/ImageNames.h"

#include <cstdint>

namespace trestan::toolkit {

std::string interpretationName(velmora::ImageInterpretation interpretation) {
    switch (interpretation) {
    case velmora::ImageInterpretation::UNKNOWN:
        return "UNKNOWN";
    case velmora::ImageInterpretation::GRAYSCALE:
        return "GRAYSCALE";
    case velmora::ImageInterpretation::COMPLEX:
        return "COMPLEX";
    case velmora::ImageInterpretation::BINARY:
        return "BINARY";
    case velmora::ImageInterpretation::LABEL:
        return "LABEL";
    case velmora::ImageInterpretation::MULTICHANNEL:
        return "MULTICHANNEL";
    case velmora::ImageInterpretation::RGB:
        return "RGB";
    case velmora::ImageInterpretation::RGBA:
        return "RGBA";
    }
    return std::to_string(static_cast<std::uint32_t>(interpretation));
}

} // namespace trestan::toolkit
