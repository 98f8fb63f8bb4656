#include "velmora/Error.h"
#include "velmora/MetadataNode.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

std::shared_ptr<MetadataNode> node(const std::string& name, int value = 0) {
    return MetadataNodeFactory::create(name, VariantDataValueFactory::create(value));
}

TEST(MetadataNode, ChildrenKeepInsertionOrderFirstNameWinsNullIsRefused) {
    auto root = MetadataNodeFactory::create("root");
    EXPECT_EQ(root->value(), nullptr);
    root->addChild(node("b", 1));
    root->addChild(node("a", 2));
    root->addChild(node("b", 3));
    ASSERT_EQ(root->childCount(), 3u);
    std::vector<std::string> names;
    for (const auto& child : *root) {
        names.push_back(child->name());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"b", "a", "b"}));
    EXPECT_EQ(VariantDataValueConverter::toInt32(root->child("b")->value()), 1);
    EXPECT_EQ(root->child("b"), root->childAt(0));
    EXPECT_EQ(root->child("c"), nullptr);
    EXPECT_THROW(root->childAt(3), std::out_of_range);
    EXPECT_THROW(root->addChild(nullptr), InvalidArgument);
    EXPECT_EQ(root->childCount(), 3u);
}

TEST(MetadataNodeHelper, GetNodeFollowsPathsAndCountNodesCountsEveryNode) {
    auto root = MetadataNodeFactory::create("root");
    auto calibrations = node("Calibrations");
    auto dimension = node("Dimension", 7);
    auto other = node("Dimension", 8);
    calibrations->addChild(dimension);
    calibrations->addChild(other);
    root->addChild(calibrations);

    EXPECT_EQ(MetadataNodeHelper::getNode(root, "Calibrations/Dimension"), dimension);
    EXPECT_EQ(MetadataNodeHelper::getNode(root, "Calibrations"), calibrations);
    EXPECT_EQ(MetadataNodeHelper::getNode(root, ""), root);
    EXPECT_EQ(MetadataNodeHelper::getNode(root, "Calibrations/Missing"), nullptr);
    EXPECT_EQ(MetadataNodeHelper::getNode(root, "Missing/Dimension"), nullptr);
    EXPECT_EQ(MetadataNodeHelper::getNode(root, "Calibrations/Dimension/Deeper"), nullptr);
    EXPECT_EQ(MetadataNodeHelper::getNode(root, "Calibrations/"), nullptr);
    EXPECT_EQ(MetadataNodeHelper::getNode(nullptr, "Calibrations"), nullptr);
    dimension->addChild(node("leaf"));
    EXPECT_EQ(MetadataNodeHelper::countNodes(*root), 5u);
}

std::shared_ptr<MetadataNode> deepChain(std::size_t depth, std::shared_ptr<MetadataNode>* deepest = nullptr) {
    auto root = MetadataNodeFactory::create("level");
    MetadataNode* tip = root.get();
    for (std::size_t i = 0; i < depth; ++i) {
        auto child = MetadataNodeFactory::create("level");
        tip->addChild(child);
        tip = child.get();
        if (deepest != nullptr && i + 1 == depth) {
            *deepest = child;
        }
    }
    return root;
}

TEST(MetadataNode, SharedSubtreesSurviveTheirParentsDeepTreesGoWithoutRecursion) {
    auto root = MetadataNodeFactory::create("root");
    auto shared = node("shared");
    shared->addChild(node("kept", 5));
    auto middle = node("middle");
    middle->addChild(shared);
    root->addChild(middle);
    root.reset();
    ASSERT_EQ(shared->childCount(), 1u);
    EXPECT_EQ(VariantDataValueConverter::toInt32(shared->child("kept")->value()), 5);

    // Deep trees are counted and destroyed without recursion, which would overflow the stack; the
    // deepest node of a destroyed chain keeps its own children.
    std::shared_ptr<MetadataNode> deepest;
    auto chain = deepChain(100000, &deepest);
    EXPECT_EQ(MetadataNodeHelper::countNodes(*chain), 100001u);
    EXPECT_NE(MetadataNodeHelper::getNode(chain, "level/level/level"), nullptr);
    deepest->addChild(node("leaf", 9));
    chain.reset();
    ASSERT_EQ(deepest->childCount(), 1u);
    EXPECT_EQ(deepest->childAt(0)->name(), "leaf");
}

} // namespace
