#include "velmora/DataType.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

TEST(DataType, NamesEveryKnownType) {
    const std::pair<DataTypeId, const char*> names[] = {
        {DataTypeId::Int8, "int8"},           {DataTypeId::UInt8, "uint8"},
        {DataTypeId::Int16, "int16"},         {DataTypeId::UInt16, "uint16"},
        {DataTypeId::Int32, "int32"},         {DataTypeId::UInt32, "uint32"},
        {DataTypeId::Int64, "int64"},         {DataTypeId::UInt64, "uint64"},
        {DataTypeId::Float32, "float32"},     {DataTypeId::Float64, "float64"},
        {DataTypeId::Complex64, "complex64"}, {DataTypeId::Complex128, "complex128"},
        {DataTypeId::RGB8, "rgb8"},           {DataTypeId::RGBA8, "rgba8"},
    };
    for (const auto& [id, name] : names) {
        const DataType type(id);
        EXPECT_EQ(type.name(), name);
        EXPECT_TRUE(type.isValid()) << name;
    }
}

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

TEST(DataType, ElementSizeRoundsBitsUpToBytes) {
    EXPECT_EQ(DataType(DataTypeId::UInt8).elementSize(), 1u);
    EXPECT_EQ(DataType(DataTypeId::Float64).elementSize(), 8u);
    EXPECT_EQ(DataType(DataTypeId::Complex64).elementSize(), 8u);
    EXPECT_EQ(DataType(DataTypeId::Complex128).elementSize(), 16u);
    EXPECT_EQ(DataType(DataTypeId::RGB8).elementSize(), 3u);
    EXPECT_EQ(DataType(static_cast<DataTypeId>(0x1010C)).elementSize(), 2u);
    EXPECT_EQ(DataType(static_cast<DataTypeId>(0x10101)).elementSize(), 1u);
    EXPECT_EQ(DataType().elementSize(), 0u);
}

} // namespace
