#include "ViewOriginExtensionImpl.h"

#include "velmora/Error.h"

#include <fmt/format.h>

ViewOriginExtensionImpl::ViewOriginExtensionImpl(const std::string& name, velmora::ViewDataOrigin origin)
    : m_uid(velmora::UidGenerator::generate()), m_dataOrigin(origin), m_displayName(name) {}

ViewOriginExtensionImpl::ViewOriginExtensionImpl(const std::string& name, velmora::View* parent)
    : m_uid(velmora::UidGenerator::generate()), m_displayName(name), m_originCounts(OriginCount, 0) {
    if (parent == nullptr) {
        throw velmora::Error("Parent view cannot be null");
    }
    addViewParent(parent);
}

ViewOriginExtensionImpl::ViewOriginExtensionImpl(const std::string& name,
                                                 const std::vector<velmora::View*>& parents)
    : m_uid(velmora::UidGenerator::generate()), m_displayName(name), m_originCounts(OriginCount, 0) {
    for (velmora::View* parent : parents) {
        if (parent == nullptr) {
            throw velmora::Error("Parent view cannot be null");
        }
        addViewParent(parent);
    }
    updateOrigin();
}

ViewOriginExtensionImpl::~ViewOriginExtensionImpl() = default;

std::uint64_t ViewOriginExtensionImpl::uid() const {
    return m_uid;
}

std::size_t ViewOriginExtensionImpl::parentCount() const {
    return m_parents.size();
}

std::shared_ptr<velmora::ViewOriginExtension> ViewOriginExtensionImpl::parent(std::size_t index) const {
    if (index >= m_parents.size()) {
        throw velmora::Error("Index out of bound");
    }
    return m_parents[index];
}

velmora::ViewDataOrigin ViewOriginExtensionImpl::dataOrigin() const {
    return m_dataOrigin;
}

std::string ViewOriginExtensionImpl::displayName() const {
    return m_displayName;
}

void ViewOriginExtensionImpl::addViewParent(velmora::View* view) {
    if (m_originCounts.empty()) {
        throw velmora::Error(
            fmt::format("View origin \"{0}\" is a root record and cannot take parents", m_displayName));
    }
    std::shared_ptr<velmora::ViewOriginExtension> record = view->viewOrigin();
    const auto origin = static_cast<std::uint32_t>(record->dataOrigin());
    if (origin >= OriginCount) {
        throw velmora::Error(fmt::format("Parent view \"{0}\" reports an unknown data origin {1}",
                                         record->displayName(), origin));
    }
    ++m_originCounts[origin];
    m_parents.push_back(std::move(record));
    updateOrigin();
}

void ViewOriginExtensionImpl::updateOrigin() {
    std::size_t found = OriginCount;
    for (std::size_t value = 0; value < m_originCounts.size(); ++value) {
        if (m_originCounts[value] == 0) {
            continue;
        }
        if (found != OriginCount) {
            m_dataOrigin = velmora::ViewDataOrigin::MIXED;
            return;
        }
        found = value;
    }
    m_dataOrigin =
        found == OriginCount ? velmora::ViewDataOrigin::UNKNOWN : static_cast<velmora::ViewDataOrigin>(found);
}
