// Array layouts and the region copier: layouts as a table, copies of random regions of random
// layouts against an element-by-element model.

#include "velmora/Indexer.h"

#include "velmora/Error.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <sstream>

using namespace velmora;

namespace {

using Shape = VectorX<std::size_t>;
using Region = RegionX<std::size_t>;

Shape numbers(const std::string& text) {
    Shape values;
    std::istringstream list(text == "-" ? "" : text);
    for (std::string number; std::getline(list, number, ',');) {
        values.push_back(std::stoull(number));
    }
    return values;
}

TEST(Indexer, LayoutsAndRefusals) {
    std::ifstream table(TRESTAN_TEST_SOURCE_DIR "/tests/host/layouts.txt");
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string type, shape, strides, bytes, packed;
        if (line.starts_with("#") || !(fields >> type >> shape >> strides >> bytes)) {
            continue;
        }
        ++rows;
        const DataType dataType(static_cast<DataTypeId>(std::stoull(type, nullptr, 16)));
        const auto make = [&] {
            return strides == "-" ? Indexer(numbers(shape), dataType)
                                  : Indexer(numbers(shape), dataType, numbers(strides));
        };
        if (bytes == "refused") {
            EXPECT_THROW(make(), InvalidArgument) << line;
        } else {
            fields >> packed;
            EXPECT_EQ(make().byteCount(), std::stoull(bytes)) << line;
            EXPECT_EQ(make().isPacked(), packed == "packed") << line;
        }
    }
    EXPECT_GT(rows, 20);
}

// Element by element, straight from the definition: region index i (axis 0 fastest) comes from the
// array element at offset + i.
std::vector<std::uint8_t> modelCopy(const Indexer& indexer, const Region& region, std::size_t elementSize,
                                    const std::vector<std::uint8_t>& source) {
    std::vector<std::uint8_t> out;
    const std::size_t n = region.dimensions();
    for (std::size_t i = 0; i < region.elementCount(); ++i) {
        Shape at(n);
        for (std::size_t axis = 0, rest = i; axis < n; rest /= region.size()[axis], ++axis) {
            at[axis] = region.offset()[axis] + rest % region.size()[axis];
        }
        const auto first = source.begin() + static_cast<std::ptrdiff_t>(indexer.offset(at));
        out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(elementSize));
    }
    return out;
}

std::vector<std::uint8_t> copyRegion(const Indexer& indexer, const Region& region, DataType type,
                                     const std::vector<std::uint8_t>& source) {
    const RegionCopier copier(indexer, region, type);
    // Guard bytes after the destination catch writes past destinationSize().
    std::vector<std::uint8_t> out(copier.destinationSize() + 16, 0xEE);
    copier.copy(source.data(), out.data());
    EXPECT_TRUE(std::all_of(out.end() - 16, out.end(), [](std::uint8_t b) { return b == 0xEE; }))
        << "copy wrote past its destination";
    out.resize(copier.destinationSize());
    return out;
}

TEST(RegionCopier, MatchesTheModelOnRandomLayoutsAndRegions) {
    std::mt19937 generator(20240601);
    // uint8, int16, float32, float64, complex128, colour, and 5 bytes (no fixed-size copy).
    const std::uint64_t types[] = {0x10108, 0x20110, 0x30120, 0x30140, 0x100030240, 0x10308, 0x10508};
    for (int trial = 0; trial < 3000; ++trial) {
        const DataType type(static_cast<DataTypeId>(types[generator() % std::size(types)]));
        const std::size_t dimensions = generator() % 5;
        Shape shape(dimensions);
        for (auto& length : shape) {
            length = generator() % 7 == 0 ? 0 : 1 + generator() % 6;
        }
        // Packed, padded (strides larger than needed, colour in 4 bytes) or axes stored out of order.
        std::vector<std::size_t> order(dimensions);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), generator);
        Shape strides(dimensions);
        std::size_t extent = type.id() == DataTypeId::RGB8 && generator() % 2 == 0 ? 4 : type.elementSize();
        for (std::size_t axis : order) {
            strides[axis] = extent + (generator() % 3 == 0 ? generator() % 5 : 0);
            extent = strides[axis] * std::max<std::size_t>(shape[axis], 1);
        }
        const Indexer indexer = generator() % 3 == 0 ? Indexer(shape, type) : Indexer(shape, type, strides);
        Shape offset(dimensions), size(dimensions);
        for (std::size_t axis = 0; axis < dimensions; ++axis) {
            const bool whole = generator() % 3 == 0; // whole axes make runs that can merge
            offset[axis] = whole ? 0 : generator() % (shape[axis] + 1);
            size[axis] = whole ? shape[axis] : generator() % (shape[axis] - offset[axis] + 1);
        }
        std::vector<std::uint8_t> source(indexer.byteCount());
        std::generate(source.begin(), source.end(), [&] { return std::uint8_t(generator()); });
        const Region region(offset, size);
        ASSERT_EQ(copyRegion(indexer, region, type, source),
                  modelCopy(indexer, region, type.elementSize(), source))
            << "trial " << trial << ", " << dimensions << " axes, type " << type.name();
    }
}

TEST(RegionCopier, RefusesRegionsOutsideTheShapeOrOfAnotherDimensionAndWiderElements) {
    const Indexer indexer(Shape{4, 3}, DataType(DataTypeId::UInt16));
    for (const auto& [region, fragment] :
         std::vector<std::pair<Region, std::string>>{{Region(Shape{0, 2}, Shape{4, 2}), "axis 1"},
                                                     {Region(Shape{4, 0}, Shape{1, 1}), "axis 0"},
                                                     {Region(Shape{5, 0}, Shape{0, 1}), "axis 0"},
                                                     {Region(Shape{1, 1}, Shape{SIZE_MAX, 1}), "overflows"},
                                                     {Region(Shape{0}, Shape{1}), "2 axes"},
                                                     {Region(Shape{0, 0}, Shape{1}), "2 axes"}}) {
        try {
            RegionCopier(indexer, region, indexer.dataType());
            ADD_FAILURE() << "region accepted, expected an error with \"" << fragment << "\"";
        } catch (const InvalidArgument& e) {
            EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(RegionCopier(indexer, Region::whole(indexer.shape()), DataType(DataTypeId::UInt32)),
                 InvalidArgument);
    // A narrower element copies the leading bytes of each stored one.
    const Indexer words(Shape{4}, DataType(DataTypeId::UInt16));
    EXPECT_EQ(copyRegion(words, Region::whole(words.shape()), DataType(DataTypeId::UInt8),
                         {1, 2, 3, 4, 5, 6, 7, 8}),
              (std::vector<std::uint8_t>{1, 3, 5, 7}));
}

} // namespace
