#pragma once

#include "ExtensionRegister.h"
#include "velmora/ImageView.h"

#include <cstddef>
#include <cstdint>
#include <memory>

/// Base of a plugin's multi-frame views: metadata, capabilities and extensions.
class AbstractExtractorMulti : public velmora::MultiImageView {
public:
    ~AbstractExtractorMulti() override;

    std::shared_ptr<velmora::Extension> extension(std::size_t id) override;
    std::uint64_t capabilities() const override;
    std::shared_ptr<velmora::MetadataNode> metadata() const override;

protected:
    std::shared_ptr<velmora::MetadataNode> m_metadata;
    std::uint64_t m_capabilities = 0;
    ExtensionRegister m_extensionRegister;
};
