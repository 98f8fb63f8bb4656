#pragma once

#include "velmora/Extension.h"
#include "velmora/View.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// A view's origin record (extension VIEW_ORIGIN_EXTENSION). A root record names a data origin
/// directly; a derived record lists the records of its parent views and takes its origin from
/// theirs: the common origin when they agree, MIXED when they do not, UNKNOWN without parents.
/// Records hold their parents' records, never the views, so they keep no view alive.
class ViewOriginExtensionImpl : public velmora::ViewOriginExtension {
public:
    /// A root record.
    ViewOriginExtensionImpl(const std::string& name, velmora::ViewDataOrigin origin);
    /// A derived record with one parent; a null parent is refused.
    ViewOriginExtensionImpl(const std::string& name, velmora::View* parent);
    /// A derived record with any number of parents, in list order; a null entry is refused.
    ViewOriginExtensionImpl(const std::string& name, const std::vector<velmora::View*>& parents);
    ~ViewOriginExtensionImpl() override;

    std::uint64_t uid() const override;
    std::size_t parentCount() const override;
    std::shared_ptr<velmora::ViewOriginExtension> parent(std::size_t index) const override;
    velmora::ViewDataOrigin dataOrigin() const override;
    std::string displayName() const override;

    /// Adds the origin record of `view` as a parent and recomputes the data origin.
    void addViewParent(velmora::View* view);
    void updateOrigin();

private:
    static constexpr std::size_t OriginCount = 7; // ViewDataOrigin values 0 to 6

    std::uint64_t m_uid;
    velmora::ViewDataOrigin m_dataOrigin = velmora::ViewDataOrigin::UNKNOWN;
    std::string m_displayName;
    std::vector<std::shared_ptr<velmora::ViewOriginExtension>> m_parents;
    std::vector<std::uint64_t> m_originCounts;
};
