#pragma once

#include "ExtensionRegister.h"
#include "velmora/ImageView.h"

#include <cstddef>
#include <cstdint>
#include <memory>

/// Base of a plugin's single-image views: shape, type, properties, metadata and extensions, all
/// filled by the derived class's constructor and answered from memory.
class AbstractExtractor : public velmora::ImageView {
public:
    ~AbstractExtractor() override;

    std::shared_ptr<velmora::Extension> extension(std::size_t id) override;
    std::uint64_t capabilities() const override;
    const velmora::VectorX<std::size_t>& shape() override;
    velmora::DataType dataType() override;
    std::shared_ptr<velmora::ImageProperties> properties() override;
    std::shared_ptr<velmora::MetadataNode> metadata() const override;

protected:
    velmora::VectorX<std::size_t> m_shape;
    velmora::DataType m_dataType;
    std::shared_ptr<velmora::ImageProperties> m_properties;
    std::shared_ptr<velmora::MetadataNode> m_metadata;
    std::uint64_t m_capabilities = 0;
    ExtensionRegister m_extensionRegister;
};
