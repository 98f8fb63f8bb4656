#include "JsonTreeWriter.h"

#include "NumberFormatter.h"

#include <cmath>
#include <cstdint>

namespace trestan::app {

namespace {

using velmora::ValueType;

nlohmann::ordered_json element(const velmora::VariantDataValue& value, std::size_t index) {
    switch (value.type()) {
    case ValueType::Int8:
        return value.at<std::int8_t>(index);
    case ValueType::UInt8:
        return value.at<std::uint8_t>(index);
    case ValueType::Int16:
        return value.at<std::int16_t>(index);
    case ValueType::UInt16:
        return value.at<std::uint16_t>(index);
    case ValueType::Int32:
        return value.at<std::int32_t>(index);
    case ValueType::UInt32:
        return value.at<std::uint32_t>(index);
    case ValueType::Int64:
        return value.at<std::int64_t>(index);
    case ValueType::UInt64:
        return value.at<std::uint64_t>(index);
    case ValueType::Float32: {
        const float number = value.at<float>(index);
        if (!std::isfinite(number)) {
            return nullptr;
        }
        return NumberFormatter::widenShortest(number);
    }
    case ValueType::Float64: {
        const double number = value.at<double>(index);
        if (!std::isfinite(number)) {
            return nullptr;
        }
        return number;
    }
    case ValueType::String:
        break;
    }
    return nullptr;
}

} // namespace

nlohmann::ordered_json JsonTreeWriter::toJson(const velmora::MetadataNode& node) const {
    return nodeToJson(node, 0);
}

nlohmann::ordered_json JsonTreeWriter::valueToJson(const velmora::VariantDataValue& value) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["type"] = velmora::valueTypeName(value.type());
    if (value.isString()) {
        json["data"] = value.text();
    } else if (value.count() == 1) {
        json["data"] = element(value, 0);
    } else {
        nlohmann::ordered_json data = nlohmann::ordered_json::array();
        data.get_ref<nlohmann::ordered_json::array_t&>().reserve(value.count());
        for (std::size_t i = 0; i < value.count(); ++i) {
            data.push_back(element(value, i));
        }
        json["data"] = std::move(data);
    }
    return json;
}

nlohmann::ordered_json JsonTreeWriter::nodeToJson(const velmora::MetadataNode& node,
                                                  std::size_t depth) const {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["name"] = node.name();
    if (node.value()) {
        json["value"] = valueToJson(*node.value());
    }
    const bool deeper = !m_maxDepth || depth < *m_maxDepth;
    if (node.childCount() > 0 && deeper) {
        nlohmann::ordered_json children = nlohmann::ordered_json::array();
        for (const auto& child : node) {
            children.push_back(nodeToJson(*child, depth + 1));
        }
        json["children"] = std::move(children);
    }
    return json;
}

} // namespace trestan::app
