#pragma once

#include "velmora/Extension.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

/// The extensions of one view, by numeric id. The first registration of an id wins.
class ExtensionRegister {
public:
    /// Stores `extension` under `id` unless the id is already taken; a second registration is
    /// dropped silently.
    void add(std::size_t id, std::shared_ptr<velmora::Extension> extension);

    /// The extension registered under `id`; velmora::Error "Extension {id} not found" otherwise.
    std::shared_ptr<velmora::Extension> extensionFromId(std::size_t id) const;

private:
    std::map<std::uint64_t, std::shared_ptr<velmora::Extension>> m_extensions;
};
