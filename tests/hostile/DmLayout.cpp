#include "DmLayout.h"

#include <algorithm>
#include <stdexcept>

namespace hostile {

namespace {

/// Bytes of an element of DM type `code` (2 to 12).
std::uint64_t elementBytes(std::int64_t code) {
    constexpr std::uint64_t sizes[] = {0, 0, 2, 4, 2, 4, 4, 8, 1, 1, 1, 8, 8};
    if (code < 2 || code > 12) {
        throw std::runtime_error("element code " + std::to_string(code) + " in a file taken as well formed");
    }
    return sizes[code];
}

class Scanner {
public:
    explicit Scanner(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}

    DmLayout scan() {
        const auto version = peekBigEndian(0, 4);
        if (version != 3 && version != 4) {
            throw std::runtime_error("not a DM3 or DM4 file");
        }
        m_wide = version == 4;
        field(4, "version");
        field(m_wide ? 8 : 4, "length word");
        field(4, "byte-order word");
        directory("GATAN");
        return std::move(m_layout);
    }

private:
    std::uint64_t peekBigEndian(std::uint64_t offset, std::uint64_t width) const {
        if (offset + width > m_bytes.size()) {
            throw std::runtime_error("field at " + std::to_string(offset) + " runs past the end");
        }
        std::uint64_t value = 0;
        for (std::uint64_t i = 0; i < width; ++i) {
            value = (value << 8) | m_bytes[offset + i];
        }
        return value;
    }

    /// Records the next `size` bytes as a field and returns them as a big-endian number (when they
    /// fit in 8 bytes).
    std::uint64_t field(std::uint64_t size, std::string what) {
        const std::uint64_t value = size <= 8 ? peekBigEndian(m_at, size) : 0;
        if (m_at + size > m_bytes.size()) {
            throw std::runtime_error(what + " runs past the end");
        }
        m_layout.fields.push_back(StructuralField{m_at, size, std::move(what)});
        m_at += size;
        return value;
    }

    /// A field holding a signed big-endian number of 4 or 8 bytes.
    std::int64_t signedField(std::uint64_t size, const std::string& what) {
        const std::uint64_t raw = field(size, what);
        return size == 4 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(raw))
                         : static_cast<std::int64_t>(raw);
    }

    void directory(const std::string& path) {
        field(2, "flags of \"" + path + "\"");
        const std::int64_t count = signedField(m_wide ? 8 : 4, "entry count of \"" + path + "\"");
        for (std::int64_t i = 0; i < count; ++i) {
            const std::uint64_t typeOffset = m_at;
            const auto type = static_cast<std::uint8_t>(field(1, "entry type byte in \"" + path + "\""));
            const auto nameLength = static_cast<std::int16_t>(field(2, "name length in \"" + path + "\""));
            std::string name = "(unnamed)";
            if (nameLength > 0) {
                name.assign(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_at),
                            m_bytes.begin() + static_cast<std::ptrdiff_t>(m_at + nameLength));
                field(static_cast<std::uint64_t>(nameLength), "name \"" + name + "\" in \"" + path + "\"");
            }
            const std::string entryPath = path + "/" + name;
            if (m_wide) {
                field(8, "entry size of \"" + entryPath + "\"");
            }
            if (type == 0x14) {
                directory(entryPath);
            } else if (type == 0x15) {
                tag(entryPath, name);
            } else {
                throw std::runtime_error("entry type byte at " + std::to_string(typeOffset));
            }
        }
    }

    void tag(const std::string& path, const std::string& name) {
        field(4, "separator of \"" + path + "\"");
        const std::int64_t count = signedField(m_wide ? 8 : 4, "info count of \"" + path + "\"");
        const std::uint64_t width = m_wide ? 8 : 4;
        const std::uint64_t infoOffset = m_at;
        field(static_cast<std::uint64_t>(count) * width, "info array of \"" + path + "\"");
        std::vector<std::int64_t> info;
        for (std::int64_t k = 0; k < count; ++k) {
            const std::uint64_t raw =
                peekBigEndian(infoOffset + static_cast<std::uint64_t>(k) * width, width);
            info.push_back(m_wide ? static_cast<std::int64_t>(raw)
                                  : static_cast<std::int32_t>(static_cast<std::uint32_t>(raw)));
        }
        const auto entry = [&info, &path](std::size_t k) {
            if (k >= info.size()) {
                throw std::runtime_error("short info array of \"" + path + "\"");
            }
            return info[k];
        };
        std::uint64_t valueSize = 0;
        if (entry(0) == 18) {
            valueSize = 2 * static_cast<std::uint64_t>(entry(1));
        } else if (entry(0) == 20 && entry(1) == 15) {
            const auto fields = static_cast<std::size_t>(entry(3));
            std::uint64_t groupSize = 0;
            for (std::size_t i = 0; i < fields; ++i) {
                groupSize += elementBytes(entry(5 + 2 * i));
            }
            valueSize = groupSize * static_cast<std::uint64_t>(entry(4 + 2 * fields));
        } else if (entry(0) == 20) {
            valueSize = elementBytes(entry(1)) * static_cast<std::uint64_t>(entry(2));
        } else if (entry(0) == 15) {
            const auto fields = static_cast<std::size_t>(entry(2));
            for (std::size_t i = 0; i < fields; ++i) {
                valueSize += elementBytes(entry(4 + 2 * i));
            }
        } else {
            valueSize = elementBytes(entry(0));
        }
        if (m_at + valueSize > m_bytes.size()) {
            throw std::runtime_error("value of \"" + path + "\" runs past the end");
        }
        if (name == "Data" && entry(0) == 20) {
            m_layout.data.push_back(DataRange{m_at, valueSize});
        }
        m_at += valueSize;
    }

    const std::vector<std::uint8_t>& m_bytes;
    bool m_wide = false;
    std::uint64_t m_at = 0;
    DmLayout m_layout;
};

} // namespace

DmLayout scanLayout(const std::vector<std::uint8_t>& bytes) {
    return Scanner(bytes).scan();
}

std::vector<std::uint64_t> structuralOffsets(const std::vector<StructuralField>& fields) {
    std::vector<std::uint64_t> offsets;
    for (const StructuralField& field : fields) {
        for (std::uint64_t i = 0; i < field.size; ++i) {
            offsets.push_back(field.offset + i);
        }
    }
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    return offsets;
}

const StructuralField* fieldAt(const std::vector<StructuralField>& fields, std::uint64_t offset) {
    for (const StructuralField& field : fields) {
        if (offset >= field.offset && offset < field.offset + field.size) {
            return &field;
        }
    }
    return nullptr;
}

} // namespace hostile
