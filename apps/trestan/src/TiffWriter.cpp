#include "TiffWriter.h"

#include "CommandLineError.h"
#include "trestan/toolkit/NumberFormatter.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <memory>
#include <tiffio.h>

namespace trestan::cli {

namespace {

// libtiff reports errors through a process-wide handler; the writer keeps the last message so that
// it can be thrown as one line instead of being printed by the library.
thread_local std::string t_lastTiffError;

void captureTiffError(const char* module, const char* format, va_list arguments) {
    char message[512];
    std::vsnprintf(message, sizeof message, format, arguments);
    t_lastTiffError = module != nullptr ? std::string(module) + ": " + message : std::string(message);
}

void ignoreTiffWarning(const char*, const char*, va_list) {}

class TiffErrorCapture {
public:
    TiffErrorCapture()
        : m_previousError(TIFFSetErrorHandler(captureTiffError)),
          m_previousWarning(TIFFSetWarningHandler(ignoreTiffWarning)) {
        t_lastTiffError.clear();
    }
    ~TiffErrorCapture() {
        TIFFSetErrorHandler(m_previousError);
        TIFFSetWarningHandler(m_previousWarning);
    }
    TiffErrorCapture(const TiffErrorCapture&) = delete;
    TiffErrorCapture& operator=(const TiffErrorCapture&) = delete;

private:
    TIFFErrorHandler m_previousError;
    TIFFErrorHandler m_previousWarning;
};

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw OutputError(path, what + (t_lastTiffError.empty() ? std::string() : ": " + t_lastTiffError));
}

std::uint16_t sampleFormat(velmora::DataType type) {
    switch (type.kind()) {
    case velmora::PrimitiveKind::SignedInteger:
        return SAMPLEFORMAT_INT;
    case velmora::PrimitiveKind::FloatingPoint:
        return SAMPLEFORMAT_IEEEFP;
    default:
        return SAMPLEFORMAT_UINT;
    }
}

// ImageJ reads its calibration from a description of "key=value" lines and takes the pixel size
// from XResolution in the description's unit. Length units are written with centimetre resolution
// for every other viewer; ImageJ converts that resolution only for the unit "um", so lengths are
// described in micrometres (0.25 nm shows as 0.00025 um, which is the same size). Other units keep
// pixels per unit and their own name.
std::string imageJDescription(const velmora::SpatialCalibrationProperty& calibration, std::size_t pages) {
    std::string unit = calibration.unit();
    double zSpacing = calibration.spacing()[2];
    if (const std::optional<double> micrometres = TiffWriter::micrometresPerUnit(unit)) {
        unit = "um";
        zSpacing *= *micrometres;
    }
    std::string description = "ImageJ=1.11a\n";
    if (pages > 1) {
        description += "images=" + std::to_string(pages) + "\nslices=" + std::to_string(pages) + "\n";
    }
    if (!unit.empty()) {
        description += "unit=" + unit + "\n";
    }
    if (pages > 1) {
        description += "spacing=" + toolkit::NumberFormatter::shortest(zSpacing) + "\n";
    }
    description += "loop=false\n";
    return description;
}

struct Resolution {
    float x = 0;
    float y = 0;
    std::uint16_t unit = RESUNIT_NONE;
};

// Pixels per centimetre for length units, pixels per unit otherwise; nothing for an uncalibrated
// frame or a spacing that a TIFF rational cannot hold.
std::optional<Resolution> resolution(const velmora::SpatialCalibrationProperty& calibration, bool twoAxes) {
    const std::string& unit = calibration.unit();
    const double spacingX = calibration.spacing()[0];
    const double spacingY = twoAxes ? calibration.spacing()[1] : spacingX;
    if (unit.empty() && spacingX == 1.0 && spacingY == 1.0) {
        return std::nullopt;
    }
    const std::optional<double> micrometres = TiffWriter::micrometresPerUnit(unit);
    const double scale = micrometres ? *micrometres * 1e-4 : 1.0; // centimetres per unit for lengths
    const double x = 1.0 / (std::fabs(spacingX) * scale);
    const double y = 1.0 / (std::fabs(spacingY) * scale);
    constexpr double Largest = std::numeric_limits<std::uint32_t>::max();
    if (!std::isfinite(x) || !std::isfinite(y) || x <= 0 || y <= 0 || x > Largest || y > Largest) {
        return std::nullopt;
    }
    return Resolution{static_cast<float>(x), static_cast<float>(y),
                      static_cast<std::uint16_t>(micrometres ? RESUNIT_CENTIMETER : RESUNIT_NONE)};
}

} // namespace

std::optional<double> TiffWriter::micrometresPerUnit(const std::string& unit) {
    if (unit == "pm") {
        return 1e-6;
    }
    if (unit == "\xC3\x85" || unit == "\xE2\x84\xAB") { // Å as a letter and as the angstrom sign
        return 1e-4;
    }
    if (unit == "nm") {
        return 1e-3;
    }
    if (unit == "um" || unit == "\xC2\xB5m" || unit == "\xCE\xBCm") { // micro sign and Greek mu
        return 1.0;
    }
    if (unit == "mm") {
        return 1e3;
    }
    if (unit == "cm") {
        return 1e4;
    }
    if (unit == "m") {
        return 1e6;
    }
    return std::nullopt;
}

void TiffWriter::checkSupported(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) const {
    if (type.isComplex()) {
        throw UsageError("TIFF cannot hold complex pixels (" + type.name() + "); export to .npy instead");
    }
    if (!type.isValid() || type.bitsPerComponent() % 8 != 0 || type.components() > 4) {
        throw UsageError("TIFF export does not support " + type.name() + " pixels; export to .npy instead");
    }
    for (std::size_t length : shape) {
        if (length == 0) {
            throw UsageError("the frame has no pixels (an axis of length 0)");
        }
    }
    if (shape.size() > 0 && shape[0] > std::numeric_limits<std::uint32_t>::max()) {
        throw UsageError("the frame is too wide for TIFF");
    }
    if (shape.size() > 1 && shape[1] > std::numeric_limits<std::uint32_t>::max()) {
        throw UsageError("the frame is too tall for TIFF");
    }
}

void TiffWriter::write(const FrameReader& frame, const std::string& path) const {
    const velmora::VectorX<std::size_t>& shape = frame.shape();
    const velmora::DataType type = frame.dataType();
    checkSupported(shape, type);

    const std::size_t width = frame.width();
    const std::size_t height = frame.height();
    const std::uint64_t pages = frame.planeCount();
    const std::size_t rowBytes = frame.rowBytes();
    const velmora::SpatialCalibrationProperty& calibration = frame.properties().calibration();
    const std::optional<Resolution> pixelSize = resolution(calibration, shape.size() > 1);
    const std::string description = imageJDescription(calibration, pages);

    const TiffErrorCapture capture;
    // Classic TIFF addresses 4 GiB; larger frames go to BigTIFF.
    const bool bigTiff = frame.byteCount() > (std::uint64_t{1} << 31);
    const std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(TIFFOpen(path.c_str(), bigTiff ? "w8" : "w"),
                                                           &TIFFClose);
    if (!tiff) {
        fail(path, "cannot create the file");
    }
    const std::uint16_t components = static_cast<std::uint16_t>(type.components());
    // Each page is read a piece of whole rows at a time and written as it is read.
    const std::size_t rowsPerPiece = std::min(frame.rowsPerPiece(), height);
    const std::unique_ptr<toolkit::FreshMemory> rows = FrameReader::buffer(rowsPerPiece * rowBytes);
    for (std::uint64_t page = 0; page < pages; ++page) {
        TIFF* out = tiff.get();
        TIFFSetField(out, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width));
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height));
        TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(type.bitsPerComponent()));
        TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, components);
        TIFFSetField(out, TIFFTAG_SAMPLEFORMAT, sampleFormat(type));
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, components >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        if (components == 4) {
            const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(out, TIFFTAG_EXTRASAMPLES, 1, &extra);
        } else if (components == 2) {
            const std::uint16_t extra = EXTRASAMPLE_UNSPECIFIED;
            TIFFSetField(out, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(out, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(out, 0));
        if (pages > 1) {
            TIFFSetField(out, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            TIFFSetField(out, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(page),
                         static_cast<std::uint16_t>(pages > 0xFFFF ? 0xFFFF : pages));
        }
        if (pixelSize) {
            TIFFSetField(out, TIFFTAG_XRESOLUTION, pixelSize->x);
            TIFFSetField(out, TIFFTAG_YRESOLUTION, pixelSize->y);
            TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, pixelSize->unit);
        }
        if (page == 0) {
            TIFFSetField(out, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
            TIFFSetField(out, TIFFTAG_SOFTWARE, "trestan");
        }
        for (std::size_t first = 0; first < height; first += rowsPerPiece) {
            const std::size_t count = std::min(rowsPerPiece, height - first);
            frame.readRows(page, first, count, rows->data());
            for (std::size_t row = first; row < first + count; ++row) {
                // libtiff does not change uncompressed scanlines.
                if (TIFFWriteScanline(out, rows->data() + (row - first) * rowBytes,
                                      static_cast<std::uint32_t>(row), 0) != 1) {
                    fail(path, "cannot write page " + std::to_string(page) + " row " + std::to_string(row));
                }
            }
        }
        if (TIFFWriteDirectory(out) != 1) {
            fail(path, "cannot write page " + std::to_string(page));
        }
    }
}

} // namespace trestan::cli
