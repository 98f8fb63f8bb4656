#include "AbstractExtractor.h"

AbstractExtractor::~AbstractExtractor() = default;

std::shared_ptr<velmora::Extension> AbstractExtractor::extension(std::size_t id) {
    return m_extensionRegister.extensionFromId(id);
}

std::uint64_t AbstractExtractor::capabilities() const {
    return m_capabilities;
}

const velmora::VectorX<std::size_t>& AbstractExtractor::shape() {
    return m_shape;
}

velmora::DataType AbstractExtractor::dataType() {
    return m_dataType;
}

std::shared_ptr<velmora::ImageProperties> AbstractExtractor::properties() {
    return m_properties;
}

std::shared_ptr<velmora::MetadataNode> AbstractExtractor::metadata() const {
    return m_metadata;
}
