#include "velmora/DataType.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

TEST(DataType, ValidityNeedsKindBitsAndComponentsUnnamedTypesShowTheirIdentifier) {
    EXPECT_EQ(DataType().name(), "unknown");
    EXPECT_FALSE(DataType().isValid());
    EXPECT_EQ(DataType(static_cast<DataTypeId>(0x1010C)).name(), "0x1010c");
    EXPECT_TRUE(DataType(static_cast<DataTypeId>(0x1010C)).isValid()) << "12-bit unsigned";
    EXPECT_EQ(DataType(static_cast<DataTypeId>(0x50108)).name(), "0x50108");
    EXPECT_FALSE(DataType(static_cast<DataTypeId>(0x40108)).isValid()) << "kind 4 is unknown";
    EXPECT_FALSE(DataType(static_cast<DataTypeId>(0x10100)).isValid()) << "0 bits";
    EXPECT_FALSE(DataType(static_cast<DataTypeId>(0x10141)).isValid()) << "65 bits";
    EXPECT_FALSE(DataType(static_cast<DataTypeId>(0x10008)).isValid()) << "no component";
    EXPECT_FALSE(DataType(static_cast<DataTypeId>(0x200010108)).isValid()) << "reserved bit 33";
}

} // namespace
