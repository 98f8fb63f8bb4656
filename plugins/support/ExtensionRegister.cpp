#include "ExtensionRegister.h"

#include "velmora/Error.h"

#include <fmt/format.h>

void ExtensionRegister::add(std::size_t id, std::shared_ptr<velmora::Extension> extension) {
    m_extensions.try_emplace(id, std::move(extension));
}

std::shared_ptr<velmora::Extension> ExtensionRegister::extensionFromId(std::size_t id) const {
    auto it = m_extensions.find(id);
    if (it == m_extensions.end()) {
        throw velmora::Error(fmt::format("Extension {0} not found", id));
    }
    return it->second;
}
