#include "velmora/Error.h"
#include "velmora/MetadataNode.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(MetadataNode, PathsResolveToTheFirstOfANameAndDeepTreesAreCountedAndDestroyedWithoutRecursion) {
    auto root = MetadataNodeFactory::create("root");
    auto group = MetadataNodeFactory::create("Calibrations");
    for (const char* name : {"Dimension", "Origin", "Dimension"}) {
        group->addChild(MetadataNodeFactory::create(name));
    }
    root->addChild(group);
    EXPECT_EQ(MetadataNodeHelper::getNode(root, "Calibrations/Dimension"), group->childAt(0));
    EXPECT_EQ(MetadataNodeHelper::getNode(root, ""), root);
    for (const char* path : {"Calibrations/Missing", "Missing/Dimension", "Calibrations/Dimension/Deeper"}) {
        EXPECT_EQ(MetadataNodeHelper::getNode(root, path), nullptr) << path;
    }
    EXPECT_THROW(root->addChild(nullptr), InvalidArgument);

    // Recursion would overflow the stack; the deepest node of a destroyed chain keeps its children.
    auto chain = MetadataNodeFactory::create("level");
    std::shared_ptr<MetadataNode> deepest = chain;
    for (int i = 0; i < 100000; ++i) {
        deepest->addChild(MetadataNodeFactory::create("level"));
        deepest = deepest->childAt(0);
    }
    EXPECT_EQ(MetadataNodeHelper::countNodes(*chain), 100001U);
    deepest->addChild(MetadataNodeFactory::create("leaf"));
    chain.reset();
    ASSERT_EQ(deepest->childCount(), 1U);
}
