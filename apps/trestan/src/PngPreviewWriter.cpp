#include "PngPreviewWriter.h"

#include "CommandLineError.h"
#include "OutputFile.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <png.h>

namespace trestan::cli {

namespace {

template <typename T> double component(const std::uint8_t* element, std::size_t index) {
    T value;
    std::memcpy(&value, element + index * sizeof(T), sizeof(T));
    return static_cast<double>(value);
}

// Calls `visit` with the grey value of each of the first `count` elements of `bytes`: the element
// itself, or the magnitude of a complex one. The element type is chosen once, outside the loop.
template <typename Visit>
void forEachGreyValue(velmora::DataType type, const std::uint8_t* bytes, std::size_t count, Visit&& visit) {
    const auto each = [&]<typename T>(T*) {
        const std::size_t size = type.elementSize();
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* element = bytes + i * size;
            visit(type.isComplex() ? std::hypot(component<T>(element, 0), component<T>(element, 1))
                                   : component<T>(element, 0));
        }
    };
    const std::uint32_t bits = type.bitsPerComponent();
    switch (type.kind()) {
    case velmora::PrimitiveKind::FloatingPoint:
        return bits == 32 ? each(static_cast<float*>(nullptr)) : each(static_cast<double*>(nullptr));
    case velmora::PrimitiveKind::SignedInteger:
        switch (bits) {
        case 8:
            return each(static_cast<std::int8_t*>(nullptr));
        case 16:
            return each(static_cast<std::int16_t*>(nullptr));
        case 32:
            return each(static_cast<std::int32_t*>(nullptr));
        default:
            return each(static_cast<std::int64_t*>(nullptr));
        }
    default:
        switch (bits) {
        case 8:
            return each(static_cast<std::uint8_t*>(nullptr));
        case 16:
            return each(static_cast<std::uint16_t*>(nullptr));
        case 32:
            return each(static_cast<std::uint32_t*>(nullptr));
        default:
            return each(static_cast<std::uint64_t*>(nullptr));
        }
    }
}

// Doubles as unsigned keys of the same order (-0.0 just below +0.0), and back.
std::uint64_t orderKey(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

double fromOrderKey(std::uint64_t key) {
    return std::bit_cast<double>((key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

// One order statistic being found digit by digit: the key's leading digits found so far and its rank
// among the values that share them.
struct RankedKey {
    std::uint64_t rank = 0;
    std::uint64_t prefix = 0;
    std::vector<std::uint64_t> histogram = std::vector<std::uint64_t>(std::size_t{1} << 16);
};

// The first plane of a frame (the image a preview shows), row by row: held whole when it fits in one
// piece of the frame's reader, read a piece of rows at a time otherwise.
class FirstPlane {
public:
    explicit FirstPlane(const FrameReader& frame)
        : m_frame(frame), m_rowBytes(frame.rowBytes()), m_height(frame.height()),
          m_rowsPerPiece(std::min(frame.rowsPerPiece(), m_height)),
          m_rows(FrameReader::buffer(m_rowsPerPiece * m_rowBytes)) {}

    // Calls `consume(bytes, elements)` with the plane's rows, a piece at a time.
    template <typename Consume> void forEachPiece(Consume&& consume) {
        for (std::size_t first = 0; first < m_height; first += m_rowsPerPiece) {
            const std::size_t count = std::min(m_rowsPerPiece, m_height - first);
            consume(rows(first, count), count * m_frame.width());
        }
    }

    // Row `row`; rows are best asked for in order.
    const std::uint8_t* row(std::size_t row) {
        if (m_first > row || row >= m_first + m_count) {
            rows(row, std::min(m_rowsPerPiece, m_height - row));
        }
        return m_rows->data() + (row - m_first) * m_rowBytes;
    }

private:
    const std::uint8_t* rows(std::size_t first, std::size_t count) {
        if (first != m_first || count != m_count) {
            m_frame.readRows(0, first, count, m_rows->data());
            m_first = first;
            m_count = count;
        }
        return m_rows->data();
    }

    const FrameReader& m_frame;
    std::size_t m_rowBytes;
    std::size_t m_height;
    std::size_t m_rowsPerPiece;
    std::unique_ptr<toolkit::FreshMemory> m_rows;
    std::size_t m_first = 0;
    std::size_t m_count = 0; // rows held
};

// The scale of the first plane (complex values by magnitude): from the LowPercentile to the
// HighPercentile of the finite values, or from the smallest to the largest when those two are equal.
// The values at those ranks (nearest rank) are found exactly without a copy of them: the key of each
// is fixed 16 bits at a time, from the top, by a histogram of the values whose keys begin with the
// bits fixed so far; each step is one pass over the plane, which a plane larger than a piece reads
// again.
PngPreviewWriter::GreyScale greyScale(velmora::DataType type, FirstPlane& plane) {
    const auto forEachValue = [&](auto&& visit) {
        plane.forEachPiece([&](const std::uint8_t* bytes, std::size_t count) {
            forEachGreyValue(type, bytes, count, visit);
        });
    };
    std::uint64_t finite = 0;
    double smallest = std::numeric_limits<double>::infinity();
    double largest = -smallest;
    forEachValue([&](double v) {
        if (std::isfinite(v)) {
            ++finite;
            smallest = std::min(smallest, v);
            largest = std::max(largest, v);
        }
    });
    PngPreviewWriter::GreyScale scale;
    if (finite == 0) {
        return scale;
    }
    std::array<RankedKey, 2> ranked;
    for (std::size_t t = 0; t < ranked.size(); ++t) {
        const double rank = t == 0 ? PngPreviewWriter::LowPercentile : PngPreviewWriter::HighPercentile;
        ranked[t].rank =
            static_cast<std::uint64_t>(std::llround(rank / 100.0 * static_cast<double>(finite - 1)));
    }
    for (int shift = 48; shift >= 0; shift -= 16) {
        const int known = 48 - shift; // bits of the prefix
        for (RankedKey& target : ranked) {
            std::fill(target.histogram.begin(), target.histogram.end(), 0);
        }
        forEachValue([&](double v) {
            if (!std::isfinite(v)) {
                return;
            }
            const std::uint64_t key = orderKey(v);
            for (RankedKey& target : ranked) {
                if (known == 0 || key >> (64 - known) == target.prefix) {
                    ++target.histogram[(key >> shift) & 0xFFFF];
                }
            }
        });
        for (RankedKey& target : ranked) {
            std::uint64_t digit = 0;
            while (target.rank >= target.histogram[digit]) {
                target.rank -= target.histogram[digit++];
            }
            target.prefix = (target.prefix << 16) | digit;
        }
    }
    scale.low = fromOrderKey(ranked[0].prefix);
    scale.high = fromOrderKey(ranked[1].prefix);
    if (scale.high <= scale.low) {
        // Almost all values equal (a sparse binary mask, say): stretch between the extremes so that
        // the rare values stay visible.
        scale.low = smallest;
        scale.high = largest;
    }
    return scale;
}

} // namespace

std::uint8_t PngPreviewWriter::GreyScale::level(double v) const {
    if (std::isnan(v) || high <= low || v <= low) {
        return 0;
    }
    if (v >= high) {
        return 255;
    }
    return static_cast<std::uint8_t>(std::lround((v - low) / (high - low) * 255.0));
}

namespace {

struct PngFailure {
    std::string message;
};

[[noreturn]] void onPngError(png_structp png, png_const_charp message) {
    static_cast<PngFailure*>(png_get_error_ptr(png))->message = message;
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

// Writes `height` rows with libpng, each made by `makeRow` into `row` (which must not throw; null
// stops the writing, and the message is then empty). libpng reports errors by longjmp back into this
// function; the frames that the jump skips (libpng's and onPngError) hold no C++ object with a
// destructor. The error is returned as a message, empty on success.
std::string encodePng(std::FILE* file, std::uint32_t width, std::uint32_t height, int colourType,
                      const std::function<const std::uint8_t*(std::uint32_t)>& makeRow) {
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
    for (std::uint32_t row = 0; row < height; ++row) {
        const std::uint8_t* bytes = makeRow(row);
        if (bytes == nullptr) {
            png_destroy_write_struct(&png, &info);
            return {};
        }
        png_write_row(png, bytes);
    }
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

void PngPreviewWriter::write(const FrameReader& frame, const std::string& path) const {
    const velmora::DataType type = frame.dataType();
    checkSupported(frame.shape(), type);
    const std::size_t width = frame.width();
    const std::size_t height = frame.height();
    const bool colour = !type.isComplex() && type.components() >= 3;

    // Rows are made one at a time: colour ones are the frame's own bytes, grey ones are scaled
    // into one buffer.
    FirstPlane plane(frame);
    int colourType = PNG_COLOR_TYPE_GRAY;
    std::function<const std::uint8_t*(std::uint32_t)> makeRow;
    std::vector<std::uint8_t> levels;
    GreyScale scale;
    if (colour) {
        colourType = type.components() == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB;
        makeRow = [&](std::uint32_t row) { return plane.row(row); };
    } else {
        scale = greyScale(type, plane);
        levels.resize(width);
        makeRow = [&](std::uint32_t row) {
            std::size_t i = 0;
            forEachGreyValue(type, plane.row(row), width, [&](double v) { levels[i++] = scale.level(v); });
            return levels.data();
        };
    }

    // A row that cannot be read stops the writing; its failure is thrown once libpng is done.
    std::exception_ptr readFailure;
    const auto makeRowOrStop = [&](std::uint32_t row) -> const std::uint8_t* {
        try {
            return makeRow(row);
        } catch (...) {
            readFailure = std::current_exception();
            return nullptr;
        }
    };
    OutputFile file(path);
    const std::string failure = encodePng(file.stream(), static_cast<std::uint32_t>(width),
                                          static_cast<std::uint32_t>(height), colourType, makeRowOrStop);
    if (readFailure) {
        std::rethrow_exception(readFailure);
    }
    if (!failure.empty()) {
        throw OutputError(path, "cannot write the PNG file: " + failure);
    }
    file.close();
}

} // namespace trestan::cli
