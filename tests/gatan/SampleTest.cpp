// samples/sample.dm4 and sample.dm3: they are what the generator writes today, and the reader finds
// in them the thumbnail, the calibrated image and the microscope tags they were made with.

#include "GatanTestSupport.h"
#include "velmora/DataType.h"
#include "velmora/ImageProperties.h"
#include "velmora/ImageView.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace testsupport;
using velmora::ValueType;

namespace {

const std::filesystem::path s_samples = std::filesystem::path(TRESTAN_TEST_SOURCE_DIR) / "samples";

class Sample : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST(SampleFiles, MatchWhatTheGeneratorWrites) {
    const auto directory =
        std::filesystem::temp_directory_path() / ("trestan-sample-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::string command =
        std::string(TRESTAN_TEST_BINARY_DIR) + "/trestan-make-sample '" + directory.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    for (const char* name : {"sample.dm4", "sample.dm3"}) {
        const dmwriter::Bytes committed = readFile(s_samples / name);
        const dmwriter::Bytes generated = readFile(directory / name);
        EXPECT_FALSE(committed.empty()) << name;
        EXPECT_TRUE(committed == generated) << name << " is stale: regenerate it with the target \"sample\"";
        EXPECT_LT(committed.size(), 100U * 1024) << name;
    }
    std::filesystem::remove_all(directory);
}

TEST_P(Sample, HoldsThumbnailAndCalibratedImage) {
    const dmwriter::Bytes bytes = readFile(s_samples / GetParam());
    ASSERT_FALSE(bytes.empty());
    auto extractor = openDm(bytes);
    const NodePtr gatan = gatanNode(*extractor);
    const NodePtr image = nodeAt(gatan, "ImageList")->childAt(1);

    EXPECT_TRUE(holdsText(nodeAt(image, "Name"), "Au nanoparticles"));
    EXPECT_TRUE(
        holdsScalar(nodeAt(image, "ImageTags/Microscope Info/Voltage"), ValueType::Float64, 200000.0));
    EXPECT_TRUE(holdsText(nodeAt(image, "ImageTags/Microscope Info/Specimen"),
                          "Au nanoparticles on C, 5\xC2\xB5m grid"));
    EXPECT_TRUE(holdsScalar(nodeAt(image, "ImageData/Calibrations/Dimension/item001/Scale"),
                            ValueType::Float32, 0.25F));
    EXPECT_EQ(nodeAt(gatan, "DocumentObjectList/item000/ImageDisplayInfo/CLUT")->childCount(), 256U);

    ASSERT_EQ(extractor->frameCount(), 2U);
    auto thumbnail = extractor->frame(0);
    EXPECT_EQ(thumbnail->shape(), (velmora::VectorX<std::size_t>{64, 64}));
    EXPECT_EQ(thumbnail->dataType().id(), velmora::DataTypeId::RGB8);

    auto frame = extractor->frame(1);
    EXPECT_EQ(frame->shape(), (velmora::VectorX<std::size_t>{128, 128}));
    EXPECT_EQ(frame->dataType().id(), velmora::DataTypeId::Int16);
    const auto& calibration = frame->properties()->calibration();
    EXPECT_EQ(calibration.spacing()[0], 0.25);
    EXPECT_EQ(calibration.spacing()[1], 0.25);
    EXPECT_EQ(calibration.origin()[0], 64.0);
    EXPECT_EQ(calibration.unit(), "nm");

    // The frame's pixels are the bytes that "DataOffset" points at.
    std::vector<std::uint8_t> pixels(128 * 128 * 2);
    frame->readRegion(velmora::RegionX<std::size_t>::whole(frame->shape()), pixels.data());
    const auto offset =
        static_cast<std::ptrdiff_t>(nodeAt(image, "ImageData/DataOffset")->value()->at<std::uint64_t>(0));
    ASSERT_LE(static_cast<std::size_t>(offset) + pixels.size(), bytes.size());
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), bytes.begin() + offset));
}

INSTANTIATE_TEST_SUITE_P(Files, Sample, ::testing::Values("sample.dm4", "sample.dm3"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param == "sample.dm4" ? std::string("Dm4") : std::string("Dm3");
                         });
