#include "PngPreviewWriter.h"

#include "CommandLineError.h"
#include "OutputFile.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <limits>
#include <png.h>

namespace trestan::cli {

namespace {

template <typename T> double component(const std::uint8_t* element, std::size_t index) {
    T value;
    std::memcpy(&value, element + index * sizeof(T), sizeof(T));
    return static_cast<double>(value);
}

// Component `index` of the element at `element` as a double.
double componentValue(velmora::DataType type, const std::uint8_t* element, std::size_t index) {
    const std::uint32_t bits = type.bitsPerComponent();
    switch (type.kind()) {
    case velmora::PrimitiveKind::FloatingPoint:
        return bits == 32 ? component<float>(element, index) : component<double>(element, index);
    case velmora::PrimitiveKind::SignedInteger:
        switch (bits) {
        case 8:
            return component<std::int8_t>(element, index);
        case 16:
            return component<std::int16_t>(element, index);
        case 32:
            return component<std::int32_t>(element, index);
        default:
            return component<std::int64_t>(element, index);
        }
    default:
        switch (bits) {
        case 8:
            return component<std::uint8_t>(element, index);
        case 16:
            return component<std::uint16_t>(element, index);
        case 32:
            return component<std::uint32_t>(element, index);
        default:
            return component<std::uint64_t>(element, index);
        }
    }
}

// The value at `rank` percent of the sorted finite values (nearest rank).
double percentile(std::vector<double> values, double rank) {
    const std::size_t position =
        static_cast<std::size_t>(std::llround(rank / 100.0 * static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(position), values.end());
    return values[position];
}

struct PngFailure {
    std::string message;
};

[[noreturn]] void onPngError(png_structp png, png_const_charp message) {
    static_cast<PngFailure*>(png_get_error_ptr(png))->message = message;
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

// Writes the rows with libpng. libpng reports errors by longjmp back into this function; the frames
// that the jump skips (libpng's and onPngError) hold no C++ object with a destructor. The error is
// returned as a message, empty on success.
std::string encodePng(std::FILE* file, std::uint32_t width, std::uint32_t height, int colourType,
                      const std::vector<png_bytep>& rows) {
    PngFailure failure;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, onPngError, onPngWarning);
    if (png == nullptr) {
        return "libpng could not start";
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return "libpng could not start";
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return failure.message.empty() ? std::string("libpng failed") : failure.message;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, const_cast<png_bytepp>(rows.data()));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return {};
}

} // namespace

void PngPreviewWriter::checkSupported(const velmora::VectorX<std::size_t>& shape,
                                      velmora::DataType type) const {
    if (shape.size() < 2) {
        throw UsageError("a PNG preview needs an image of at least two axes; this frame has " +
                         std::to_string(shape.size()) + " (export it to .npy, .tif or .raw instead)");
    }
    if (shape[0] == 0 || shape[1] == 0) {
        throw UsageError("the frame has no pixels (an axis of length 0)");
    }
    if (shape[0] > PNG_USER_WIDTH_MAX || shape[1] > PNG_USER_HEIGHT_MAX) {
        throw UsageError("the frame is too large for a PNG preview");
    }
    const bool colour = !type.isComplex() && (type.components() == 3 || type.components() == 4);
    if (!type.isValid() || (colour && type.bitsPerComponent() != 8) ||
        (!colour && !type.isComplex() && type.components() != 1) || type.bitsPerComponent() % 8 != 0) {
        throw UsageError("a PNG preview cannot show " + type.name() + " pixels");
    }
}

std::vector<std::uint8_t> PngPreviewWriter::greyLevels(const FramePixels& pixels, std::size_t count) {
    const velmora::DataType type = pixels.dataType();
    const std::size_t elementSize = type.elementSize();
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* element = pixels.bytes().data() + i * elementSize;
        if (type.isComplex()) {
            values[i] = std::hypot(componentValue(type, element, 0), componentValue(type, element, 1));
        } else {
            values[i] = componentValue(type, element, 0);
        }
    }

    std::vector<double> finite;
    finite.reserve(count);
    std::copy_if(values.begin(), values.end(), std::back_inserter(finite),
                 [](double v) { return std::isfinite(v); });
    double low = 0.0;
    double high = 0.0;
    if (!finite.empty()) {
        low = percentile(finite, LowPercentile);
        high = percentile(finite, HighPercentile);
        if (high <= low) {
            // Almost all values equal (a sparse binary mask, say): stretch between the extremes so
            // that the rare values stay visible.
            const auto [smallest, largest] = std::minmax_element(finite.begin(), finite.end());
            low = *smallest;
            high = *largest;
        }
    }

    std::vector<std::uint8_t> levels(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const double v = values[i];
        if (std::isnan(v) || high <= low || v <= low) {
            levels[i] = 0;
        } else if (v >= high) {
            levels[i] = 255;
        } else {
            levels[i] = static_cast<std::uint8_t>(std::lround((v - low) / (high - low) * 255.0));
        }
    }
    return levels;
}

void PngPreviewWriter::write(const FramePixels& pixels, const std::string& path) const {
    const velmora::DataType type = pixels.dataType();
    checkSupported(pixels.shape(), type);
    const std::size_t width = pixels.shape()[0];
    const std::size_t height = pixels.shape()[1];
    const bool colour = !type.isComplex() && type.components() >= 3;

    std::vector<std::uint8_t> image;
    std::size_t rowBytes = width;
    int colourType = PNG_COLOR_TYPE_GRAY;
    if (colour) {
        rowBytes = width * type.components();
        colourType = type.components() == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB;
        image.assign(pixels.bytes().begin(),
                     pixels.bytes().begin() + static_cast<std::ptrdiff_t>(rowBytes * height));
    } else {
        image = greyLevels(pixels, width * height);
    }
    std::vector<png_bytep> rows(height);
    for (std::size_t row = 0; row < height; ++row) {
        rows[row] = image.data() + row * rowBytes;
    }

    OutputFile file(path);
    const std::string failure = encodePng(file.stream(), static_cast<std::uint32_t>(width),
                                          static_cast<std::uint32_t>(height), colourType, rows);
    if (!failure.empty()) {
        throw OutputError(path, "cannot write the PNG file: " + failure);
    }
    file.close();
}

} // namespace trestan::cli
