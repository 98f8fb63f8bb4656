#include "DmTags.h"

namespace trestan::gatan {

namespace {

nlohmann::json element(const velmora::VariantDataValue& value, std::size_t index) {
    return velmora::visitElement(value, index, [](auto number) { return nlohmann::json(number); });
}

} // namespace

std::optional<nlohmann::json> toJson(const velmora::VariantDataValue& value) {
    if (value.isString()) {
        return nlohmann::json(value.text());
    }
    if (value.count() == 0 || value.data() == nullptr) {
        return std::nullopt;
    }
    if (value.count() == 1) {
        return element(value, 0);
    }
    nlohmann::json run = nlohmann::json::array();
    for (std::size_t i = 0; i < value.count(); ++i) {
        run.push_back(element(value, i));
    }
    return run;
}

DmTags DmTags::child(std::string_view name) const {
    if (m_node != nullptr) {
        for (const std::shared_ptr<velmora::MetadataNode>& entry : *m_node) {
            if (entry->name() == name) {
                return DmTags(entry.get());
            }
        }
    }
    return DmTags();
}

DmTags DmTags::at(std::string_view path) const {
    DmTags tags = *this;
    while (tags.exists() && !path.empty()) {
        const std::size_t slash = path.find('/');
        tags = tags.child(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
    }
    return tags;
}

std::optional<double> DmTags::number(std::string_view path) const {
    const DmTags tag = at(path);
    if (!tag.exists() || !tag.m_node->value()) {
        return std::nullopt;
    }
    const std::optional<nlohmann::json> json = toJson(*tag.m_node->value());
    if (!json) {
        return std::nullopt;
    }
    const nlohmann::json& first = json->is_array() ? json->front() : *json;
    if (!first.is_number()) {
        return std::nullopt;
    }
    return first.get<double>();
}

std::optional<std::string> DmTags::text(std::string_view path) const {
    const DmTags tag = at(path);
    if (!tag.exists() || !tag.m_node->value() || !tag.m_node->value()->isString()) {
        return std::nullopt;
    }
    return tag.m_node->value()->text();
}

std::optional<std::string> DmTags::nonEmptyText(std::string_view path) const {
    std::optional<std::string> result = text(path);
    if (result && result->empty()) {
        return std::nullopt;
    }
    return result;
}

std::optional<nlohmann::json> DmTags::value(std::string_view path) const {
    const DmTags tag = at(path);
    if (!tag.exists() || !tag.m_node->value()) {
        return std::nullopt;
    }
    return toJson(*tag.m_node->value());
}

std::optional<nlohmann::json> DmTags::fields(std::string_view path) const {
    const DmTags group = at(path);
    if (!group.exists() || group.m_node->childCount() == 0) {
        return std::nullopt;
    }
    nlohmann::json values = nlohmann::json::array();
    for (std::size_t i = 0; i < group.m_node->childCount(); ++i) {
        const DmTags field = group.at("Field" + std::to_string(i));
        std::optional<nlohmann::json> fieldValue = field.exists() ? field.value("") : std::nullopt;
        if (!fieldValue) {
            return std::nullopt;
        }
        values.push_back(std::move(*fieldValue));
    }
    return values;
}

} // namespace trestan::gatan
