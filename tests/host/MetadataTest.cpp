#include "velmora/MetadataNode.h"

#include <gtest/gtest.h>

using namespace velmora;

// Recursion would overflow the stack; the deepest node of a destroyed chain keeps its children.
TEST(MetadataNode, DeepTreesAreCountedAndDestroyedWithoutRecursion) {
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
