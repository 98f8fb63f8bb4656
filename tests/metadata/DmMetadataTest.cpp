// What the corpus cannot show, on files made with our DM writer: tags that are missing, thumbnail
// lists, and spectrum images whose spectrum is not the fastest axis.

#include "trestan/gatan/DmMetadata.h"

#include "GatanTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using dmwriter::Directory;
using dmwriter::DmFile;
using dmwriter::Tag;
using nlohmann::json;

dmwriter::ImageDefinition image(std::vector<std::uint32_t> dimensions,
                                std::vector<dmwriter::AxisCalibration> calibrations = {}) {
    dmwriter::ImageDefinition definition = dmwriter::rampImage(6, std::move(dimensions)); // unsigned 8-bit
    if (!calibrations.empty()) {
        definition.calibrations = std::move(calibrations);
    }
    return definition;
}

// A file whose ImageList holds one entry per definition; returns the entries' "ImageTags".
struct TestFile {
    DmFile file{dmwriter::Version::Dm4};
    std::vector<dmwriter::ImageEntry> images;

    explicit TestFile(const std::vector<dmwriter::ImageDefinition>& definitions) {
        Directory& list = file.root().addDirectory("ImageList");
        for (const dmwriter::ImageDefinition& definition : definitions) {
            images.push_back(dmwriter::addImage(list, definition));
        }
    }
    void listThumbnails(const std::vector<std::uint32_t>& indices) {
        Directory& thumbnails = file.root().addDirectory("Thumbnails");
        for (std::uint32_t index : indices) {
            thumbnails.addDirectory().addTag("ImageIndex", Tag::uint32(index));
        }
    }
    std::vector<trestan::gatan::MappedSignal> signals() {
        return trestan::gatan::mapSignals(*testsupport::openDm(file));
    }
};

TEST(DmMetadata, TagsThatAreMissingLeaveTheirKeysOut) {
    TestFile bare({image({3, 2}, {{0.0F, 0.5F, u"nm"}, {2.0F, 0.25F, u"nm"}})});
    bare.images[0].entry.remove("Name");
    const json signal = bare.signals().at(0).json;
    EXPECT_EQ(signal["General"], json::object());
    EXPECT_EQ(signal["Acquisition_instrument"], json::object());
    EXPECT_EQ(signal["Signal"], json({{"signal_type", ""}, {"quantity", "Intensity"}}));
    EXPECT_EQ(signal["shape"], json({2, 3}));
    EXPECT_EQ(signal["axes"], json::parse(R"([
        {"name": "y", "units": "nm", "scale": 0.25, "offset": -0.5, "size": 2, "navigate": false},
        {"name": "x", "units": "nm", "scale": 0.5, "offset": -0.0, "size": 3, "navigate": false}])"));

    // A microscope that recorded only its voltage and mode, and a date without a time.
    TestFile sparse({image({4})});
    Directory& info = sparse.images[0].imageTags.addDirectory("Microscope Info");
    info.addTag("Voltage", Tag::float64(300000.0));
    info.addTag("Operation Mode", Tag::string(u"IMAGING"));
    sparse.images[0].imageTags.addDirectory("DataBar").addTag("Acquisition Date", Tag::string(u"31.12.2021"));
    const json mapped = sparse.signals().at(0).json;
    EXPECT_EQ(mapped["Acquisition_instrument"],
              json({{"TEM", {{"beam_energy", 300.0}, {"acquisition_mode", "TEM"}}}}));
    EXPECT_EQ(mapped["General"], json({{"title", "Image"}, {"date", "2021-12-31"}}));
}

TEST(DmMetadata, TheThumbnailListDecidesTheThumbnailsAndTheMainImage) {
    TestFile listed({image({2}), image({3}), image({4})});
    listed.listThumbnails({0, 2, 7}); // 7 names no image and is ignored
    const auto roles = trestan::gatan::frameRoles(*testsupport::openDm(listed.file)->metadata(), 3);
    EXPECT_EQ(roles.thumbnail, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(roles.main, 1U);
    const std::vector<trestan::gatan::MappedSignal> signals = listed.signals();
    ASSERT_EQ(signals.size(), 1U);
    EXPECT_EQ(signals[0].frame, 1U);
    EXPECT_EQ(signals[0].json["shape"], json({3}));

    TestFile unlisted({image({2}), image({3})});
    EXPECT_EQ(trestan::gatan::frameRoles(*testsupport::openDm(unlisted.file)->metadata(), 2).main, 0U);
    EXPECT_EQ(unlisted.signals().size(), 2U);

    TestFile onlyThumbnails({image({2})});
    onlyThumbnails.listThumbnails({0});
    EXPECT_FALSE(trestan::gatan::frameRoles(*testsupport::openDm(onlyThumbnails.file)->metadata(), 1).main);
    EXPECT_TRUE(onlyThumbnails.signals().empty());
}

void describeAs(dmwriter::ImageEntry& entry, const char16_t* signal, const char16_t* format) {
    Directory& meta = entry.imageTags.addDirectory("Meta Data");
    meta.addTag("Format", Tag::string(format));
    meta.addTag("Signal", Tag::string(signal));
}

json axisNamesAndNavigation(const json& axes) {
    json result = json::array();
    for (const json& axis : axes) {
        result.push_back({axis["name"], axis["navigate"], axis["size"]});
    }
    return result;
}

TEST(DmMetadata, SpectrumImagesPutTheSpectrumAxisLast) {
    // GMS stores a 2-D spectrum image as x, y, energy (energy slowest); NumPy order would put the
    // energy first.
    TestFile map({image({4, 3, 10}, {{0.0F, 1.0F, u"nm"}, {0.0F, 1.0F, u"nm"}, {-5.0F, 0.5F, u"eV"}})});
    describeAs(map.images[0], u"EELS", u"Spectrum image");
    const trestan::gatan::MappedSignal mapped = map.signals().at(0);
    EXPECT_EQ(mapped.frameAxes, (std::vector<std::size_t>{1, 0, 2}));
    EXPECT_EQ(mapped.json["shape"], json({3, 4, 10}));
    EXPECT_EQ(axisNamesAndNavigation(mapped.json["axes"]),
              json::parse(R"([["y", true, 3], ["x", true, 4], ["Energy loss", false, 10]])"));
    EXPECT_EQ(mapped.json["axes"][2]["offset"], 2.5);

    // One scan row: the axis of length 1 is dropped.
    TestFile row({image({5, 1, 10}, {{0.0F, 1.0F, u"nm"}, {0.0F, 1.0F, u"nm"}, {0.0F, 1.0F, u"eV"}})});
    describeAs(row.images[0], u"EELS", u"Spectrum image");
    const trestan::gatan::MappedSignal line = row.signals().at(0);
    EXPECT_EQ(line.frameAxes, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(axisNamesAndNavigation(line.json["axes"]),
              json::parse(R"([["x", true, 5], ["Energy loss", false, 10]])"));

    // A 3-axis image that is no spectrum image is a stack of images: one navigation axis.
    TestFile stack({image({4, 3, 2})});
    EXPECT_EQ(axisNamesAndNavigation(stack.signals().at(0).json["axes"]),
              json::parse(R"([["z", true, 2], ["y", false, 3], ["x", false, 4]])"));
}

} // namespace
