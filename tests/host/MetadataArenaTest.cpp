// velmora::MetadataArena: the memory it hands out, and the scopes that make nodes and values in it.

#include "velmora/MetadataArena.h"

#include "velmora/MetadataNode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace velmora;

namespace {

constexpr std::uintptr_t s_hugePage = std::uintptr_t{2} << 20;

/// The start address and the "VmFlags:" line of the mapping of this process that holds `address`,
/// from /proc/self/smaps.
std::pair<std::uintptr_t, std::string> mappingOf(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::optional<std::uintptr_t> found;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t start = 0, end = 0;
        char dash = 0;
        if (std::istringstream(line) >> std::hex >> start >> dash >> end && dash == '-' && start <= at &&
            at < end) {
            found = start;
        } else if (found && line.starts_with("VmFlags:")) {
            return {*found, line};
        }
    }
    return {1, ""};
}

} // namespace

TEST(MetadataArena, HandsOutAlignedDisjointMemoryFromSmallAndHugePageBlocks) {
    MetadataArena arena;
    struct Piece {
        std::uint8_t* data;
        std::size_t size;
    };
    std::vector<Piece> pieces;
    std::size_t smallTotal = 0;
    const void* late = nullptr;
    // Small pieces of every alignment, through the small blocks and well into the mapped ones, with
    // a piece larger than the block in use early on and one larger than any block later.
    for (std::size_t i = 0; smallTotal < (std::size_t{12} << 20); ++i) {
        const std::size_t alignment = std::size_t{1} << (i % 5);
        std::size_t size = 1 + (i * 37) % 190;
        if (i == 1000 || i == 60000) {
            size = (i == 1000 ? std::size_t{3} << 20 : std::size_t{40} << 20) + 7;
        } else {
            smallTotal += size;
        }
        auto* data = static_cast<std::uint8_t*>(arena.allocate(size, alignment));
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(data) % alignment, 0U) << "piece " << i;
        std::fill(data, data + size, static_cast<std::uint8_t>(i));
        pieces.push_back({data, size});
        if (i == 1000 || i == 60000) {
            // A piece larger than the block in use gets a block of its own, which starts at a
            // huge-page boundary.
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % s_hugePage, 0U) << "piece " << i;
        }
        if (smallTotal > (std::size_t{8} << 20) && late == nullptr) {
            late = data;
        }
    }
    std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.data < b.data; });
    for (std::size_t k = 1; k < pieces.size(); ++k) {
        ASSERT_LE(pieces[k - 1].data + pieces[k - 1].size, pieces[k].data) << "pieces overlap";
    }

    // Past the first quarter megabyte the blocks are mappings at a huge-page boundary, advised for
    // huge pages ("hg") where the kernel offers them.
    const auto [start, flags] = mappingOf(late);
    EXPECT_EQ(start % s_hugePage, 0U);
    std::ifstream transparentHugePages("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    if (std::getline(transparentHugePages, modes) && modes.find("[never]") == std::string::npos) {
        EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
    }
}

TEST(MetadataArena, ScopesNestAndTreesOutliveTheirScope) {
    ASSERT_EQ(MetadataArena::current(), nullptr);
    std::shared_ptr<MetadataNode> tree;
    std::weak_ptr<MetadataArena> outer;
    std::weak_ptr<MetadataArena> inner;
    {
        const MetadataArena::Scope outerScope;
        outer = MetadataArena::current();
        ASSERT_FALSE(outer.expired());
        tree = MetadataNodeFactory::create("root");
        {
            const MetadataArena::Scope innerScope;
            inner = MetadataArena::current();
            ASSERT_FALSE(inner.expired());
            EXPECT_NE(inner.lock(), outer.lock());
            // Made in the inner arena and dropped with the scope: the arena goes with it.
            auto dropped = MetadataNodeFactory::create("dropped", VariantDataValueFactory::create(1));
            EXPECT_GT(inner.use_count(), 1);
        }
        EXPECT_TRUE(inner.expired());
        EXPECT_EQ(MetadataArena::current(), outer.lock());
        // Enough nodes and values to fill the small blocks and several huge-page ones.
        for (int i = 0; i < 100000; ++i) {
            auto child =
                MetadataNodeFactory::create("item" + std::to_string(i), VariantDataValueFactory::create(i));
            child->addChild(MetadataNodeFactory::create(
                "text", VariantDataValueFactory::create(std::string(30, 'a' + i % 26))));
            tree->addChild(child);
        }
    }
    EXPECT_EQ(MetadataArena::current(), nullptr);
    // The nodes hold their arena, and everything in it is intact after the scope.
    EXPECT_FALSE(outer.expired());
    ASSERT_EQ(MetadataNodeHelper::countNodes(*tree), 200001U);
    for (int i : {0, 4567, 99999}) {
        const auto& child = tree->childAt(static_cast<std::size_t>(i));
        EXPECT_EQ(child->name(), "item" + std::to_string(i));
        EXPECT_EQ(VariantDataValueConverter::toInt32(child->value()), i);
        EXPECT_EQ(VariantDataValueConverter::toString(*child->childAt(0)->value()),
                  std::string(30, 'a' + i % 26));
    }
    tree.reset();
    EXPECT_TRUE(outer.expired());
}

// The arena is the one owner of its nodes and values: any pointer into a tree holds all of it, texts
// repeated in a tree are one string, and nodes and values of other arenas are kept by the tree that
// takes them.
TEST(MetadataArena, OwnsItsTreeAndKeepsWhatItTakesFromOtherArenas) {
    std::shared_ptr<VariantDataValue> value;
    std::shared_ptr<MetadataNode> leaf;
    std::weak_ptr<MetadataArena> arena;
    auto foreign = MetadataNodeFactory::createText("foreign", std::string(40, 'f'));
    auto foreignValue = VariantDataValueFactory::create(std::string(50, 'v'));
    auto foreignByReference = MetadataNodeFactory::create("by reference");
    const std::weak_ptr<MetadataNode> foreignHeld = foreign;
    const std::weak_ptr<MetadataNode> foreignByReferenceHeld = foreignByReference;
    // A name of the process, given to nodes of this arena and, once it is gone, of another.
    const MetadataName& permanent = MetadataArena::makePermanentName("item002");
    {
        const MetadataArena::Scope scope;
        arena = MetadataArena::current();
        auto root = MetadataNodeFactory::create("root");
        for (int i = 0; i < 3; ++i) {
            const double run[] = {1.5 * i, 2.5, 3.5};
            root->addChild(
                MetadataNodeFactory::create("A name longer than a small string", ValueType::Float64, run, 3));
        }
        root->addChild(std::exchange(foreign, nullptr));
        root->addChild(MetadataNodeFactory::create("adopted", std::exchange(foreignValue, nullptr)));
        // A reader's way: nodes made by reference in the tree's arena, one name interned for many.
        MetadataArena& memory = root->arena();
        MetadataNode& group = MetadataNodeFactory::make(memory, "group");
        const std::int16_t field = -5;
        group.addChild(
            MetadataNodeFactory::make(memory, memory.internName("Field0"), ValueType::Int16, &field, 1));
        group.addChild(MetadataNodeFactory::makeText(memory, "Field0", "text"));
        group.addChild(*std::exchange(foreignByReference, nullptr));
        root->addChild(group);
        EXPECT_EQ(&group.childAt(0)->name(), &group.childAt(1)->name());
        EXPECT_EQ(group.childAt(0)->value()->at<std::int16_t>(0), -5);
        // Records made in one piece: two of an int16 and a float32 field, bytes as stored.
        const MetadataName* rows[] = {&memory.internName("item000"), &permanent};
        const MetadataRecordField columns[] = {{&memory.internName("Field0"), ValueType::Int16},
                                               {&memory.internName("Field1"), ValueType::Float32}};
        const std::int16_t first[] = {-2, 7};
        const float second[] = {0.5F, -1.25F};
        std::uint8_t records[12];
        for (int k = 0; k < 2; ++k) {
            std::memcpy(records + 6 * k, &first[k], 2);
            std::memcpy(records + 6 * k + 2, &second[k], 4);
        }
        MetadataNodeFactory::appendRecords(group, rows, columns, records);
        ASSERT_EQ(group.childCount(), 5U);
        EXPECT_EQ(group.childAt(3)->name(), "item000");
        EXPECT_EQ(group.childAt(4)->name(), "item002");
        EXPECT_EQ(group.childAt(4)->childAt(0)->value()->at<std::int16_t>(0), 7);
        EXPECT_EQ(group.childAt(4)->child("Field1")->value()->at<float>(0), -1.25F);
        const MetadataRecordField text[] = {{columns[0].name, ValueType::String}};
        EXPECT_THROW(MetadataNodeFactory::appendRecords(group, rows, text, records), InvalidArgument);
        EXPECT_EQ(&root->childAt(0)->name(), &root->childAt(2)->name());
        EXPECT_THROW(root->childAt(root->childCount()), std::out_of_range);
        value = root->childAt(2)->value();
        leaf = root->child("adopted");
    }
    EXPECT_EQ(value->at<double>(0), 3.0);
    EXPECT_EQ(value->at<double>(2), 3.5);
    value.reset();
    EXPECT_EQ(leaf->value()->text(), std::string(50, 'v'));
    ASSERT_FALSE(foreignHeld.expired());
    ASSERT_FALSE(foreignByReferenceHeld.expired());
    EXPECT_EQ(foreignHeld.lock()->value()->text(), std::string(40, 'f'));
    leaf.reset();
    EXPECT_TRUE(arena.expired());
    EXPECT_TRUE(foreignHeld.expired());
    EXPECT_TRUE(foreignByReferenceHeld.expired());
    const MetadataArena::Scope other;
    EXPECT_EQ(MetadataNodeFactory::make(*MetadataArena::current(), permanent).name(), "item002");
}
