#include "BenchWorkloads.h"

#include "dmwriter/DmImage.h"

#include <array>
#include <cstring>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace bench {

namespace {

using dmwriter::Directory;
using dmwriter::ElementType;
using dmwriter::Field;
using dmwriter::Tag;

// Entries per directory at each level below "ImageTags": leaf directories hold the tags, and
// every level above holds this many directories, so the tree stays a few levels deep whatever
// the tag count (three levels hold 40 x 25 x 25 = 25,000 tags per top-level directory).
constexpr std::size_t TagsPerDirectory = 40;
constexpr std::size_t DirectoriesPerDirectory = 25;

// Names in the style of acquisition software; each tag gets its index appended.
constexpr std::array<const char*, 18> TagNames{
    "Exposure (s)",     "Actual Magnification",
    "Binning",          "Frame Count",
    "Acquisition Mode", "Is Continuous",
    "Gain Offset",      "Shutter Index",
    "Stage Position",   "Serial Number",
    "Operator",         "Units",
    "Matrix",           "Display Colour",
    "Rectangle",        "Points",
    "Raw Header",       "Spot Size",
};

// The kind of tag number `index`: the kinds cycle, so every file has all of them in equal shares.
Tag tagOfKind(std::size_t index) {
    const auto small = static_cast<std::int32_t>(index % 1000);
    switch (index % TagNames.size()) {
    case 0:
        return Tag::float32(0.001F * static_cast<float>(small));
    case 1:
        return Tag::float64(1.0e6 + static_cast<double>(index));
    case 2:
        return Tag::int16(static_cast<std::int16_t>(small));
    case 3:
        return Tag::uint16(static_cast<std::uint16_t>(small));
    case 4:
        return Tag::int32(-small);
    case 5:
        return Tag::uint32(static_cast<std::uint32_t>(index));
    case 6:
        return Tag::boolean(index % 2 == 0);
    case 7:
        return Tag::int8(static_cast<std::int8_t>(small % 100));
    case 8:
        return Tag::uint8(static_cast<std::uint8_t>(small % 200));
    case 9:
        return Tag::int64(-static_cast<std::int64_t>(index));
    case 10:
        return Tag::uint64(index * 3);
    case 11:
        return Tag::utf16Array(u"Ronchigram camera, 4k x 4k");
    case 12:
        return Tag::utf16Array(u"nm");
    case 13:
        return Tag::array(ElementType::Float32, {1.0F, 0.0F, 0.0F, 0.0F, 1.0F, 0.0F, 0.0F, 0.0F, 1.0F});
    case 14:
        return Tag::group({Field::of(ElementType::Int16, std::int16_t{-1}),
                           Field::of(ElementType::Int16, std::int16_t{-32640}),
                           Field::of(ElementType::Int16, std::int16_t{0})});
    case 15:
        return Tag::group({Field::of(ElementType::Float32, 0.0F), Field::of(ElementType::Float32, 0.0F),
                           Field::of(ElementType::Float32, 512.0F), Field::of(ElementType::Float32, 512.0F)});
    case 16: {
        const std::vector<std::int64_t> codes{code(ElementType::Float32), code(ElementType::Float32)};
        return Tag::groupArray(codes, 3, dmwriter::littleEndian({0.5F, 1.5F, 2.5F, 3.5F, 4.5F, 5.5F}));
    }
    default:
        return Tag::array(ElementType::UInt8,
                          {std::uint8_t{0x44}, std::uint8_t{0x4d}, std::uint8_t{4}, std::uint8_t{0},
                           std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{5}});
    }
}

std::string tagName(std::size_t index) {
    return std::string(TagNames[index % TagNames.size()]) + ' ' + std::to_string(index);
}

// Adds up to `left` tags below `directory` in a tree `levels` deep; returns how many it added.
std::size_t addTagTree(Directory& directory, int levels, std::size_t& next, std::size_t left) {
    directory.flags(1, 0);
    if (levels == 0) {
        const std::size_t count = left < TagsPerDirectory ? left : TagsPerDirectory;
        directory.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            directory.addTag(tagName(next), tagOfKind(next));
            ++next;
        }
        return count;
    }
    std::size_t added = 0;
    for (std::size_t i = 0; i < DirectoriesPerDirectory && added < left; ++i) {
        Directory& child = directory.addDirectory("Group " + std::to_string(i));
        added += addTagTree(child, levels - 1, next, left - added);
    }
    return added;
}

void countEntries(const Directory& directory, WorkloadStats& stats) {
    for (std::size_t i = 0; i < directory.size(); ++i) {
        const dmwriter::Entry& entry = directory.entry(i);
        if (entry.isDirectory()) {
            ++stats.directories;
            countEntries(std::get<Directory>(entry.body), stats);
        } else {
            ++stats.tags;
        }
    }
}

void addFileTags(Directory& root) {
    Directory& documentInfo = root.addDirectory("DocumentObjectList");
    documentInfo.addDirectory().addTag("AnnotationType", Tag::int32(20));
    root.addTag("InImageMode", Tag::boolean(true));
    Directory& page = root.addDirectory("Page Behavior");
    page.addTag("DoIntegralZoom", Tag::boolean(false));
    page.addTag("Layout", Tag::uint32(4));
}

} // namespace

dmwriter::DmFile tagHeavyFile(std::size_t tagCount, std::uint32_t imageSide, dmwriter::Version version,
                              WorkloadStats* stats) {
    dmwriter::DmFile file(version);
    Directory& root = file.root();
    root.flags(1, 0);
    addFileTags(root);
    Directory& imageList = root.addDirectory("ImageList");

    dmwriter::ImageDefinition image;
    image.name = u"Tag-heavy image";
    image.dataType = 2; // float32
    image.dimensions = {imageSide, imageSide};
    image.pixels.resize(std::size_t{imageSide} * imageSide * sizeof(float));
    fillPixelPattern(0, image.pixels);
    const dmwriter::ImageEntry entry = dmwriter::addImage(imageList, image);

    std::size_t next = 0;
    std::size_t added = 0;
    for (std::size_t group = 0; added < tagCount; ++group) {
        Directory& top = entry.imageTags.addDirectory("Acquisition " + std::to_string(group));
        added += addTagTree(top, 2, next, tagCount - added);
    }
    file.dmFraming();

    if (stats != nullptr) {
        *stats = WorkloadStats{};
        countEntries(root, *stats);
        stats->pixelBytes = image.pixels.size();
    }
    return file;
}

dmwriter::DmFile pixelFile(const std::vector<std::uint32_t>& dimensions, dmwriter::Version version,
                           WorkloadStats* stats, bool sparse) {
    dmwriter::DmFile file(version);
    Directory& root = file.root();
    root.flags(1, 0);
    addFileTags(root);
    Directory& imageList = root.addDirectory("ImageList");

    dmwriter::ImageDefinition image;
    image.name = dimensions.size() > 2 ? u"Float32 stack" : u"Float32 image";
    image.dataType = 2; // float32
    image.dimensions = dimensions;
    std::uint64_t bytes = sizeof(float);
    std::vector<dmwriter::AxisCalibration> calibrations;
    for (const std::uint32_t length : dimensions) {
        bytes *= length;
        calibrations.push_back(calibrations.size() < 2 ? dmwriter::AxisCalibration{0.0F, 0.25F, u"nm"}
                                                       : dmwriter::AxisCalibration{0.0F, 1.0F, u"frame"});
    }
    image.generatedPixels =
        sparse ? dmwriter::GeneratedValue{bytes, {}} : dmwriter::GeneratedValue{bytes, fillPixelPattern};
    image.calibrations = calibrations;
    const dmwriter::ImageEntry entry = dmwriter::addImage(imageList, image);
    Directory& acquisition = entry.imageTags.addDirectory("Acquisition");
    acquisition.addTag("Exposure (s)", Tag::float32(0.01F));
    acquisition.addTag("Frame Count", Tag::uint32(dimensions.size() > 2 ? dimensions[2] : 1));
    file.dmFraming();

    if (stats != nullptr) {
        *stats = WorkloadStats{};
        countEntries(root, *stats);
        stats->pixelBytes = bytes;
    }
    return file;
}

void fillPixelPattern(std::uint64_t offset, std::span<std::uint8_t> out) {
    // A ramp that wraps every 65,521 pixels: not zero, not constant, cheap to make.
    const auto valueAt = [](std::uint64_t pixel) { return 0.5F * static_cast<float>(pixel % 65521); };
    std::size_t i = 0;
    while (i < out.size() && (offset + i) % sizeof(float) != 0) {
        const std::uint64_t at = offset + i;
        const float value = valueAt(at / sizeof(float));
        out[i++] = reinterpret_cast<const std::uint8_t*>(&value)[at % sizeof(float)];
    }
    for (; i + sizeof(float) <= out.size(); i += sizeof(float)) {
        const float value = valueAt((offset + i) / sizeof(float));
        std::memcpy(out.data() + i, &value, sizeof(float));
    }
    for (; i < out.size(); ++i) {
        const std::uint64_t at = offset + i;
        const float value = valueAt(at / sizeof(float));
        out[i] = reinterpret_cast<const std::uint8_t*>(&value)[at % sizeof(float)];
    }
}

} // namespace bench
