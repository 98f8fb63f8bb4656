#include "velmora/Error.h"
#include "velmora/MetadataNode.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

std::shared_ptr<MetadataNode> node(const std::string& name, int value = 0) {
    return MetadataNodeFactory::create(name, VariantDataValueFactory::create(value));
}

TEST(MetadataNode, ChildrenKeepOrderFirstNameWinsPathsResolveAndSubtreesOutliveTheirParents) {
    auto root = MetadataNodeFactory::create("root");
    auto group = node("Calibrations");
    group->addChild(node("Dimension", 7));
    group->addChild(node("Origin", 1));
    group->addChild(node("Dimension", 8));
    root->addChild(group);
    EXPECT_EQ(group->childAt(1)->name(), "Origin");
    EXPECT_EQ(VariantDataValueConverter::toInt32(group->child("Dimension")->value()), 7);
    EXPECT_EQ(MetadataNodeHelper::getNode(root, "Calibrations/Dimension"), group->childAt(0));
    EXPECT_EQ(MetadataNodeHelper::getNode(root, ""), root);
    for (const char* path :
         {"Calibrations/Missing", "Missing/Dimension", "Calibrations/Dimension/Deeper", "Calibrations/"}) {
        EXPECT_EQ(MetadataNodeHelper::getNode(root, path), nullptr) << path;
    }
    EXPECT_EQ(MetadataNodeHelper::countNodes(*root), 5U);
    EXPECT_THROW(root->childAt(1), std::out_of_range);
    EXPECT_THROW(root->addChild(nullptr), InvalidArgument);
    root.reset();
    EXPECT_EQ(group->childCount(), 3U);

    // Deep trees are counted and destroyed without recursion, which would overflow the stack; the
    // deepest node of a destroyed chain keeps its own children.
    auto chain = MetadataNodeFactory::create("level");
    std::shared_ptr<MetadataNode> deepest = chain;
    for (int i = 0; i < 100000; ++i) {
        auto child = MetadataNodeFactory::create("level");
        deepest->addChild(child);
        deepest = child;
    }
    EXPECT_EQ(MetadataNodeHelper::countNodes(*chain), 100001U);
    deepest->addChild(node("leaf", 9));
    chain.reset();
    ASSERT_EQ(deepest->childCount(), 1U);
}

} // namespace
