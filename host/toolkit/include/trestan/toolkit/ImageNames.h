#pragma once

#include "velmora/ImageProperties.h"

#include <string>

namespace trestan::toolkit {

/// Name of an image interpretation ("GRAYSCALE", "RGB", ...) or its number when it has none.
std::string interpretationName(velmora::ImageInterpretation interpretation);

} // namespace trestan::toolkit
