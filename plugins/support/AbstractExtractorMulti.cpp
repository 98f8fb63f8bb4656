#include "AbstractExtractorMulti.h"

AbstractExtractorMulti::~AbstractExtractorMulti() = default;

std::shared_ptr<velmora::Extension> AbstractExtractorMulti::extension(std::size_t id) {
    return m_extensionRegister.extensionFromId(id);
}

std::uint64_t AbstractExtractorMulti::capabilities() const {
    return m_capabilities;
}

std::shared_ptr<velmora::MetadataNode> AbstractExtractorMulti::metadata() const {
    return m_metadata;
}
