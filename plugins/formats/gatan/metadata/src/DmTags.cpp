#include "DmTags.h"

#include "velmora/Utf8.h"

#include <algorithm>

namespace trestan::gatan {

namespace {

nlohmann::json element(const velmora::VariantDataValue& value, std::size_t index) {
    return velmora::visitElement(value, index, [](auto number) { return nlohmann::json(number); });
}

// The bytes of an 8-bit array as text: as they are when they are UTF-8, else each byte a Latin-1
// character.
std::string eightBitText(const velmora::VariantDataValue& value) {
    std::string bytes(static_cast<const char*>(value.data()), value.count());
    bytes.resize(std::min(bytes.size(), bytes.find('\0')));
    if (velmora::isUtf8(bytes)) {
        return bytes;
    }
    std::string text;
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        if (code < 0x80) {
            text += byte;
        } else {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

template <typename T, typename Read>
std::optional<T> firstOf(const std::vector<DmTags>& directories, Read read) {
    for (const DmTags& directory : directories) {
        if (std::optional<T> found = read(directory)) {
            return found;
        }
    }
    return std::nullopt;
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
    if (!tag.exists() || !tag.m_node->value()) {
        return std::nullopt;
    }
    const velmora::VariantDataValue& value = *tag.m_node->value();
    if (value.isString()) {
        return value.text();
    }
    if ((value.type() == velmora::ValueType::Int8 || value.type() == velmora::ValueType::UInt8) &&
        value.data() != nullptr) {
        return eightBitText(value);
    }
    return std::nullopt;
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

bool TagSet::has(std::string_view path) const {
    for (const DmTags& directory : m_directories) {
        if (directory.at(path).exists()) {
            return true;
        }
    }
    return false;
}

std::optional<double> TagSet::number(std::string_view path) const {
    return firstOf<double>(m_directories, [&](const DmTags& tags) { return tags.number(path); });
}

std::optional<std::string> TagSet::text(std::string_view path) const {
    return firstOf<std::string>(m_directories, [&](const DmTags& tags) { return tags.text(path); });
}

std::optional<std::string> TagSet::nonEmptyText(std::string_view path) const {
    return firstOf<std::string>(m_directories, [&](const DmTags& tags) { return tags.nonEmptyText(path); });
}

std::optional<nlohmann::json> TagSet::value(std::string_view path) const {
    return firstOf<nlohmann::json>(m_directories, [&](const DmTags& tags) { return tags.value(path); });
}

std::optional<nlohmann::json> TagSet::fields(std::string_view path) const {
    return firstOf<nlohmann::json>(m_directories, [&](const DmTags& tags) { return tags.fields(path); });
}

std::optional<double> TagSet::number(std::initializer_list<std::string_view> paths) const {
    return firstOf<double>(m_directories, [&](const DmTags& tags) {
        for (std::string_view path : paths) {
            if (std::optional<double> found = tags.number(path)) {
                return found;
            }
        }
        return std::optional<double>();
    });
}

std::optional<std::string> TagSet::nonEmptyText(std::initializer_list<std::string_view> paths) const {
    return firstOf<std::string>(m_directories, [&](const DmTags& tags) {
        for (std::string_view path : paths) {
            if (std::optional<std::string> found = tags.nonEmptyText(path)) {
                return found;
            }
        }
        return std::optional<std::string>();
    });
}

} // namespace trestan::gatan
