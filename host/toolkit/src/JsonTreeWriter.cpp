#include "trestan/toolkit/JsonTreeWriter.h"

#include "trestan/toolkit/NumberFormatter.h"

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace trestan::toolkit {

namespace {

nlohmann::ordered_json element(const velmora::VariantDataValue& value, std::size_t index) {
    return velmora::visitElement(value, index, [](auto number) -> nlohmann::ordered_json {
        using Number = decltype(number);
        if constexpr (std::is_floating_point_v<Number>) {
            if (!std::isfinite(number)) {
                return nullptr;
            }
            if constexpr (std::is_same_v<Number, float>) {
                return NumberFormatter::widenShortest(number);
            }
        }
        return number;
    });
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

} // namespace trestan::toolkit
