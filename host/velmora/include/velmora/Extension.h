#pragma once

#include "velmora/Export.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

/// Well-known extension ids.
enum ExtensionId : std::size_t {
    VIEW_ORIGIN_EXTENSION = 3,
};

/// An optional interface that a view offers under a numeric id.
class VELMORA_API Extension {
public:
    virtual ~Extension();
};

/// Where the data of a view comes from.
enum class ViewDataOrigin : std::uint32_t {
    UNKNOWN = 0, ///< a stream or other source of unknown kind
    MEMORY = 1,
    FILE = 2,
    NETWORK = 3,
    GENERATED = 4,
    DERIVED = 5,
    MIXED = 6, ///< derived from views of different origins
};

/// Extension VIEW_ORIGIN_EXTENSION: identity, name and provenance of a view.
class VELMORA_API ViewOriginExtension : public Extension {
public:
    ~ViewOriginExtension() override;
    virtual std::uint64_t uid() const = 0;
    virtual std::size_t parentCount() const = 0;
    virtual std::shared_ptr<ViewOriginExtension> parent(std::size_t index) const = 0;
    virtual ViewDataOrigin dataOrigin() const = 0;
    virtual std::string displayName() const = 0;
};

/// Process-wide source of unique identifiers; thread-safe.
class VELMORA_API UidGenerator {
public:
    /// A new identifier, never 0 and never returned before in this process.
    static std::uint64_t generate();
};

} // namespace velmora
