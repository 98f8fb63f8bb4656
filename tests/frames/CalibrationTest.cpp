// Spatial calibration from "Calibrations"/"Dimension": origin and spacing of up to three axes as
// stored, the unit of axis 0 only, defaults where entries are missing, and extra entries ignored.

#include "GatanTestSupport.h"

#include <cstdint>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::AllOf;
using ::testing::HasSubstr;
using Vector3 = velmora::Vector<double, 3>;

namespace {

ImageDefinition image(std::vector<std::uint32_t> dimensions,
                      std::optional<std::vector<AxisCalibration>> axes) {
    ImageDefinition written = rampImage(6, std::move(dimensions));
    written.calibrations = std::move(axes);
    return written;
}

velmora::SpatialCalibrationProperty calibrationOf(const ImageDefinition& written) {
    DmFile file = imageFile({written});
    return openDm(file)->frame(0)->properties()->calibration();
}

Directory& dimensionEntry(ImageEntry& entry, std::size_t index) {
    return entry.imageData.directory("Calibrations").directory("Dimension").entry(index).directory();
}

} // namespace

TEST(Calibration, EntriesFillOriginAndSpacingOfUpToThreeAxesAndAxisZeroGivesTheUnit) {
    using Axes = std::vector<AxisCalibration>;
    struct Case {
        std::string what;
        ImageDefinition written;
        Vector3 origin;
        Vector3 spacing;
        std::string unit;
    };
    ImageDefinition uncalibrated = image({4, 3}, std::nullopt);
    uncalibrated.withoutCalibrations = true;
    ImageDefinition withBrightness = image({4, 3}, Axes{{1.5F, 0.25F, u"nm"}, {-2.0F, 4.0F, u"um"}});
    withBrightness.brightness = AxisCalibration{77.0F, 9.0F, u"counts"};
    const Vector3 zeros{0.0, 0.0, 0.0};
    const Vector3 ones{1.0, 1.0, 1.0};
    const std::vector<Case> cases = {
        {"no Calibrations", uncalibrated, zeros, ones, ""},
        {"empty Dimension", image({4, 3}, Axes{}), zeros, ones, ""},
        {"no axes", image({}, Axes{{5.0F, 2.0F, u"nm"}}), zeros, ones, ""},
        {"each axis its own entry", withBrightness, {1.5, -2.0, 0.0}, {0.25, 4.0, 1.0}, "nm"},
        {"three axes",
         image({4, 3, 2}, Axes{{1.0F, 2.0F, u"A"}, {3.0F, 4.0F, u"B"}, {5.0F, 6.0F, u"C"}}),
         {1.0, 3.0, 5.0},
         {2.0, 4.0, 6.0},
         "A"},
        {"fewer entries than axes",
         image({4, 3, 2}, Axes{{5.0F, 2.0F, u"nm"}}),
         {5.0, 0.0, 0.0},
         {2.0, 1.0, 1.0},
         "nm"},
        {"more entries than axes",
         image({9}, Axes{{1.0F, 2.0F, u"s"}, {3.0F, 4.0F, u"m"}, {5.0F, 6.0F, u"g"}}),
         {1.0, 0.0, 0.0},
         {2.0, 1.0, 1.0},
         "s"},
        {"more than three axes",
         image({2, 2, 2, 2}, Axes{{1.0F, 2.0F, u"a"},
                                  {3.0F, 4.0F, u"b"},
                                  {5.0F, 6.0F, u"c"},
                                  {7.0F, 8.0F, u"d"},
                                  {9.0F, 10.0F, u"e"}}),
         {1.0, 3.0, 5.0},
         {2.0, 4.0, 6.0},
         "a"},
        {"unit of a later axis", image({4, 3}, Axes{{0.0F, 1.0F, u""}, {0.0F, 1.0F, u"nm"}}), zeros, ones,
         ""},
        {"unit in UTF-8", image({4, 3}, Axes{{0.0F, 1.0F, u"\u00B5m"}}), zeros, ones, "\xC2\xB5m"},
        // DM's origin is in pixels; it is neither negated nor multiplied by the scale, and a scale of
        // 0 or below is kept.
        {"values as stored",
         image({4, 3, 2}, Axes{{3.0F, 2.0F, u"nm"}, {-12.5F, 0.0F, u""}, {0.0F, -0.5F, u""}}),
         {3.0, -12.5, 0.0},
         {2.0, 0.0, -0.5},
         "nm"},
    };
    for (const Case& c : cases) {
        const auto calibration = calibrationOf(c.written);
        EXPECT_EQ(calibration.origin(), c.origin) << c.what;
        EXPECT_EQ(calibration.spacing(), c.spacing) << c.what;
        EXPECT_EQ(calibration.unit(), c.unit) << c.what;
    }
    // "Calibrations" without "Dimension" keeps the defaults too.
    DmFile file;
    ImageEntry entry =
        addImage(file.root().addDirectory("ImageList"), image({4, 3}, Axes{{5.0F, 2.0F, u"nm"}}));
    entry.imageData.directory("Calibrations").remove("Dimension");
    const auto calibration = openDm(file)->frame(0)->properties()->calibration();
    EXPECT_EQ(calibration.origin(), zeros);
    EXPECT_EQ(calibration.spacing(), ones);
    EXPECT_EQ(calibration.unit(), "");
}

TEST(Calibration, IgnoredEntriesAreNotRequiredToBeComplete) {
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    ImageEntry oneAxis =
        addImage(list, image({3}, std::vector<AxisCalibration>{{1.0F, 2.0F, u"s"}, {3.0F, 4.0F, u"m"}}));
    dimensionEntry(oneAxis, 1).remove("Scale");
    ImageEntry fourAxes = addImage(list, image({2, 2, 2, 2}, std::nullopt));
    dimensionEntry(fourAxes, 3).remove("Origin");
    const auto extractor = openDm(file);
    ASSERT_EQ(extractor->frameCount(), 2U);
    EXPECT_EQ(extractor->frame(0)->properties()->calibration().spacing(), (Vector3{2.0, 1.0, 1.0}));
}

TEST(Calibration, DoubleValuesKeepTheirPrecision) {
    DmFile file;
    ImageEntry entry = addImage(file.root().addDirectory("ImageList"),
                                image({4, 3}, std::vector<AxisCalibration>{{0.0F, 1.0F, u"nm"}}));
    Directory& axis = dimensionEntry(entry, 0);
    axis.remove("Origin");
    axis.remove("Scale");
    axis.addTag("Origin", Tag::float64(0.1));
    axis.addTag("Scale", Tag::float64(1.0 / 3.0));
    const auto calibration = openDm(file)->frame(0)->properties()->calibration();
    EXPECT_EQ(calibration.origin()[0], 0.1);
    EXPECT_EQ(calibration.spacing()[0], 1.0 / 3.0);
}

class IncompleteCalibrationEntry : public ::testing::TestWithParam<std::string> {};

TEST_P(IncompleteCalibrationEntry, IsRefusedNamingTheEntryAndTheImage) {
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    addImage(list, image({2, 2}, std::nullopt));
    ImageEntry second = addImage(list, image({2, 2}, std::nullopt));
    ASSERT_EQ(dimensionEntry(second, 1).remove(GetParam()), 1U);
    EXPECT_THAT(openError<velmora::Error>(file),
                AllOf(HasSubstr("Image 1"), HasSubstr("Calibrations/Dimension/item001"),
                      HasSubstr("\"" + GetParam() + "\"")));
}

INSTANTIATE_TEST_SUITE_P(RequiredTags, IncompleteCalibrationEntry,
                         ::testing::Values("Origin", "Scale", "Units"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });
