// Writes samples/sample.dm4 and samples/sample.dm3: a small, deterministic DM file laid out like one
// saved by the acquisition software. ImageList entry 0 is the 64x64 colour thumbnail, entry 1 a
// calibrated 128x128 signed 16-bit image (0.25 nm per pixel on both axes) with microscope tags.

#include "dmwriter/DmImage.h"
#include "dmwriter/DmWriter.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

using namespace dmwriter;

namespace {

constexpr std::uint32_t s_imageSize = 128;
constexpr std::uint32_t s_thumbnailSize = 64;

/// A pattern that is easy to recognise in a viewer and to check in a test: 16-pixel checkerboard
/// squares of +-1000 on a diagonal ramp, crossed by a bright ring of radius 40 around the centre.
std::int16_t patternValue(std::uint32_t x, std::uint32_t y) {
    const int square = ((x / 16 + y / 16) % 2 == 0) ? 1000 : -1000;
    const int dx = static_cast<int>(x) - 64;
    const int dy = static_cast<int>(y) - 64;
    const int ring = (dx * dx + dy * dy - 1600 < 160 && dx * dx + dy * dy - 1600 > -160) ? 3000 : 0;
    return static_cast<std::int16_t>(square + static_cast<int>(x + y) * 4 + ring);
}

Bytes imagePixels() {
    Bytes pixels;
    pixels.reserve(s_imageSize * s_imageSize * 2);
    for (std::uint32_t y = 0; y < s_imageSize; ++y) {
        for (std::uint32_t x = 0; x < s_imageSize; ++x) {
            const Bytes value = littleEndian(patternValue(x, y));
            pixels.insert(pixels.end(), value.begin(), value.end());
        }
    }
    return pixels;
}

/// The image shrunk by two and mapped to grey: each pixel is B, G, R and an unused byte.
Bytes thumbnailPixels() {
    Bytes pixels;
    pixels.reserve(s_thumbnailSize * s_thumbnailSize * 4);
    for (std::uint32_t y = 0; y < s_thumbnailSize; ++y) {
        for (std::uint32_t x = 0; x < s_thumbnailSize; ++x) {
            const int value = patternValue(2 * x, 2 * y);
            // The pattern spans about -1000 to 5000.
            const int clamped = std::min(255, std::max(0, (value + 1000) * 255 / 6000));
            const auto grey = static_cast<std::uint8_t>(clamped);
            pixels.insert(pixels.end(), {grey, grey, grey, 0});
        }
    }
    return pixels;
}

Tag colour(std::int16_t red, std::int16_t green, std::int16_t blue) {
    return Tag::group({Field::of(ElementType::Int16, red), Field::of(ElementType::Int16, green),
                       Field::of(ElementType::Int16, blue)});
}

Tag rectangle(float top, float left, float bottom, float right) {
    return Tag::group({Field::of(ElementType::Float32, top), Field::of(ElementType::Float32, left),
                       Field::of(ElementType::Float32, bottom), Field::of(ElementType::Float32, right)});
}

void addDocumentObjects(Directory& root) {
    Directory& objects = root.addDirectory("DocumentObjectList");
    Directory& display = objects.addDirectory();
    display.flags(1, 0);
    display.addDirectory("AnnotationGroupList");
    display.addTag("AnnotationType", Tag::int32(20));
    display.addTag("BackgroundColor", colour(-1, -1, -1));
    display.addTag("BackgroundMode", Tag::int16(2));
    display.addTag("FillMode", Tag::int16(1));
    display.addTag("ForegroundColor", colour(-1, -32640, -32640));
    display.addTag("HasBackground", Tag::boolean(false));

    Directory& info = display.addDirectory("ImageDisplayInfo");
    info.flags(1, 0);
    info.addTag("BrightColor", colour(-1, -1, -1));
    info.addTag("Brightness", Tag::float32(0.5F));
    info.addTag("CaptionOn", Tag::boolean(false));
    info.addTag("CaptionSize", Tag::uint16(14));
    Bytes clut;
    for (int level = 0; level < 256; ++level) {
        const auto component = static_cast<std::int16_t>(level * 257);
        const Bytes one = littleEndian(component);
        for (int channel = 0; channel < 3; ++channel) {
            clut.insert(clut.end(), one.begin(), one.end());
        }
    }
    info.addTag("CLUT", Tag::groupArray(
                            {code(ElementType::Int16), code(ElementType::Int16), code(ElementType::Int16)},
                            256, std::move(clut)));
    info.addTag("CLUTName", Tag::utf16Array(u"Greyscale"));
    info.addTag("ComplexMode", Tag::uint32(4));
    info.addTag("ComplexRange", Tag::float32(1000.0F));
    info.addTag("Contrast", Tag::float32(0.5F));
    info.addTag("ContrastMode", Tag::uint32(1));
    info.addDirectory("DimensionLabels").addTag(Tag::utf16Array(u""));
    info.addTag("DoAutoSurvey", Tag::boolean(true));
    info.addTag("EstimatedMax", Tag::float32(4512.0F));
    info.addTag("EstimatedMaxTrimPercentage", Tag::float32(0.001F));
    info.addTag("EstimatedMin", Tag::float32(-1000.0F));
    info.addTag("EstimatedMinTrimPercentage", Tag::float32(0.001F));
    info.addTag("Gamma", Tag::float32(0.5F));
    info.addTag("HighLimit", Tag::float32(4512.0F));
    info.addTag("IsInverted", Tag::boolean(false));
    info.addTag("LowLimit", Tag::float32(-1000.0F));
    info.addDirectory("MainSliceId").addTag(Tag::uint32(0));
    info.addTag("MinimumContrast", Tag::float32(0.0F));
    info.addTag("RangeAdjust", Tag::float32(1.0F));

    display.addTag("ImageDisplayType", Tag::int32(1));
    display.addDirectory("ImageSource");
    display.addTag("IsMoveable", Tag::boolean(true));
    display.addTag("IsResizable", Tag::boolean(true));
    display.addTag("IsSelectable", Tag::boolean(true));
    display.addTag("IsTranslatable", Tag::boolean(true));
    display.addTag("IsVisible", Tag::boolean(true));
    display.addDirectory("ObjectTags").flags(1, 0);
    display.addTag("Rectangle", rectangle(0.0F, 0.0F, 128.0F, 128.0F));
    display.addTag("UniqueID", Tag::uint32(8));
}

void addImageTags(Directory& tags) {
    Directory& acquisition = tags.addDirectory("Acquisition");
    acquisition.flags(1, 0);
    Directory& device = acquisition.addDirectory("Device");
    device.flags(1, 0);
    device.addTag("Active Size (pixels)",
                  Tag::group({Field::of(ElementType::UInt32, 2048U), Field::of(ElementType::UInt32, 2048U)}));
    device.addTag("Name", Tag::utf16Array(u"Synthetic CCD"));
    device.addTag("Pixel Size (um)",
                  Tag::group({Field::of(ElementType::Float64, 14.0), Field::of(ElementType::Float64, 14.0)}));
    Directory& parameters = acquisition.addDirectory("Parameters");
    parameters.flags(1, 0);
    Directory& highLevel = parameters.addDirectory("High Level");
    highLevel.flags(1, 0);
    highLevel.addTag("Binning",
                     Tag::group({Field::of(ElementType::UInt32, 16U), Field::of(ElementType::UInt32, 16U)}));
    highLevel.addTag("Exposure (s)", Tag::float64(0.5));
    highLevel.addTag("Processing", Tag::utf16Array(u"Gain Normalized"));

    Directory& dataBar = tags.addDirectory("DataBar");
    dataBar.flags(1, 0);
    dataBar.addTag("Acquisition Date", Tag::utf16Array(u"12/5/2024"));
    dataBar.addTag("Acquisition Time", Tag::utf16Array(u"10:42:17 AM"));
    dataBar.addTag("Binning", Tag::uint32(16));
    dataBar.addTag("Device Name", Tag::utf16Array(u"Synthetic CCD"));
    dataBar.addTag("Exposure Time (s)", Tag::float64(0.5));

    Directory& microscope = tags.addDirectory("Microscope Info");
    microscope.flags(1, 0);
    microscope.addTag("Actual Magnification", Tag::float64(412000.0));
    microscope.addTag("Cs(mm)", Tag::float64(1.2));
    microscope.addTag("Emission Current (uA)", Tag::float64(3.5));
    microscope.addTag("Formatted Indicated Mag", Tag::utf16Array(u"300kx"));
    microscope.addTag("Formatted Voltage", Tag::utf16Array(u"200.0kV"));
    microscope.addTag("Illumination Mode", Tag::utf16Array(u"TEM"));
    microscope.addTag("Imaging Mode", Tag::utf16Array(u"IMAGING"));
    microscope.addTag("Indicated Magnification", Tag::float64(300000.0));
    microscope.addTag("Microscope", Tag::utf16Array(u"Trestan S200"));
    microscope.addTag("Name", Tag::utf16Array(u"Trestan test bench"));
    microscope.addTag("Operation Mode", Tag::utf16Array(u"IMAGING"));
    microscope.addTag("Operator", Tag::utf16Array(u"trestan"));
    microscope.addTag("Probe Current (nA)", Tag::float64(0.0));
    microscope.addTag("Specimen", Tag::utf16Array(u"Au nanoparticles on C, 5\u00B5m grid"));
    microscope.addTag("STEM Camera Length", Tag::float32(0.0F));
    microscope.addTag("Voltage", Tag::float64(200000.0));
}

DmFile buildSample() {
    DmFile file(Version::Dm4);
    file.dmFraming();
    Directory& root = file.root();
    root.flags(1, 0);

    addDocumentObjects(root);
    root.addDirectory("DocumentTags").flags(1, 0);
    root.addTag("HasWindowPosition", Tag::boolean(false));
    Directory& behaviour = root.addDirectory("Image Behavior");
    behaviour.flags(1, 0);
    behaviour.addTag("DoIntegralZoom", Tag::boolean(false));
    behaviour.addTag("ImageDisplayBounds", rectangle(0.0F, 0.0F, 128.0F, 128.0F));
    behaviour.addTag("IsZoomedToWindow", Tag::boolean(true));
    behaviour.addTag("ViewDisplayID", Tag::uint32(8));

    Directory& imageList = root.addDirectory("ImageList");
    ImageDefinition thumbnail;
    thumbnail.name = u"Image Of Au nanoparticles";
    thumbnail.dataType = 23;
    thumbnail.dimensions = {s_thumbnailSize, s_thumbnailSize};
    thumbnail.pixels = thumbnailPixels();
    thumbnail.uniqueId = {1789623552U, 2054162200U, 635841365U, 993791911U};
    addImage(imageList, thumbnail);

    ImageDefinition image;
    image.name = u"Au nanoparticles";
    image.dataType = 1;
    image.dimensions = {s_imageSize, s_imageSize};
    image.pixels = imagePixels();
    image.calibrations = std::vector<AxisCalibration>{{64.0F, 0.25F, u"nm"}, {64.0F, 0.25F, u"nm"}};
    image.brightness = AxisCalibration{0.0F, 1.0F, u"counts"};
    image.uniqueId = {644554337U, 1373129200U, 153583053U, 1772845749U};
    addImageTags(addImage(imageList, image).imageTags);

    Directory& sources = root.addDirectory("ImageSourceList");
    Directory& source = sources.addDirectory();
    source.flags(1, 0);
    source.addTag("ClassName", Tag::utf16Array(u"ImageSource:Simple"));
    source.addDirectory("Id").addTag(Tag::uint32(0));
    source.addTag("ImageRef", Tag::uint32(1));
    root.addTag("InImageMode", Tag::boolean(true));
    Directory& versions = root.addDirectory("MinVersionList");
    Directory& version = versions.addDirectory();
    version.flags(1, 0);
    version.addTag("RequiredVersion", Tag::uint32(50659328U));
    root.addTag("NextDocumentObjectID", Tag::uint32(9));
    root.addDirectory("SentinelList");
    Directory& thumbnails = root.addDirectory("Thumbnails");
    Directory& thumbnailEntry = thumbnails.addDirectory();
    thumbnailEntry.flags(1, 0);
    thumbnailEntry.addTag("ImageIndex", Tag::uint32(0));
    thumbnailEntry.addTag("SourceSize_Pixels",
                          Tag::group({Field::of(ElementType::Int64, std::int64_t{128}),
                                      Field::of(ElementType::Int64, std::int64_t{128})}));
    return file;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: trestan-make-sample OUTPUT_DIRECTORY\n";
        return EXIT_FAILURE;
    }
    try {
        const std::filesystem::path directory(argv[1]);
        DmFile file = buildSample();
        file.writeFile((directory / "sample.dm4").string());
        file.setVersion(Version::Dm3);
        file.writeFile((directory / "sample.dm3").string());
    } catch (const std::exception& error) {
        std::cerr << "trestan-make-sample: " << error.what() << '\n';
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
