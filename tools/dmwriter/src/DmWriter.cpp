#include "dmwriter/DmWriter.h"

#include <filesystem>
#include <fstream>
#include <ostream>
#include <stdexcept>

namespace dmwriter {

std::size_t elementSize(std::int64_t code) {
    switch (code) {
    case 8:
    case 9:
    case 10:
        return 1;
    case 2:
    case 4:
        return 2;
    case 3:
    case 5:
    case 6:
        return 4;
    case 7:
    case 11:
    case 12:
        return 8;
    default:
        return 0;
    }
}

Bytes utf16Bytes(std::u16string_view units) {
    Bytes bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const Bytes& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Tag

Tag Tag::raw(std::vector<std::int64_t> info, Bytes value) {
    Tag tag;
    tag.m_info = std::move(info);
    tag.m_value = std::move(value);
    return tag;
}

Tag Tag::generated(std::vector<std::int64_t> info, GeneratedValue value) {
    Tag tag;
    tag.m_info = std::move(info);
    tag.m_generated = std::move(value);
    return tag;
}

Tag Tag::scalar(std::int64_t code, Bytes value) {
    return raw({code}, std::move(value));
}

Tag Tag::int8(std::int8_t value) {
    return scalar(code(ElementType::Int8), littleEndian(value));
}
Tag Tag::uint8(std::uint8_t value) {
    return scalar(code(ElementType::UInt8), littleEndian(value));
}
Tag Tag::boolean(bool value) {
    return scalar(code(ElementType::Bool), Bytes{value ? std::uint8_t{1} : std::uint8_t{0}});
}
Tag Tag::int16(std::int16_t value) {
    return scalar(code(ElementType::Int16), littleEndian(value));
}
Tag Tag::uint16(std::uint16_t value) {
    return scalar(code(ElementType::UInt16), littleEndian(value));
}
Tag Tag::int32(std::int32_t value) {
    return scalar(code(ElementType::Int32), littleEndian(value));
}
Tag Tag::uint32(std::uint32_t value) {
    return scalar(code(ElementType::UInt32), littleEndian(value));
}
Tag Tag::int64(std::int64_t value) {
    return scalar(code(ElementType::Int64), littleEndian(value));
}
Tag Tag::uint64(std::uint64_t value) {
    return scalar(code(ElementType::UInt64), littleEndian(value));
}
Tag Tag::float32(float value) {
    return scalar(code(ElementType::Float32), littleEndian(value));
}
Tag Tag::float64(double value) {
    return scalar(code(ElementType::Float64), littleEndian(value));
}

Tag Tag::string(std::u16string_view units) {
    return raw({StringCode, static_cast<std::int64_t>(units.size())}, utf16Bytes(units));
}

Tag Tag::utf16Array(std::u16string_view units) {
    return array(code(ElementType::UInt16), static_cast<std::int64_t>(units.size()), utf16Bytes(units));
}

Tag Tag::array(std::int64_t code, std::int64_t count, Bytes elements) {
    return raw({ArrayCode, code, count}, std::move(elements));
}

Tag Tag::group(const std::vector<Field>& fields) {
    std::vector<std::int64_t> info{GroupCode, 0, static_cast<std::int64_t>(fields.size())};
    Bytes value;
    for (const Field& field : fields) {
        info.push_back(0);
        info.push_back(field.code);
        value.insert(value.end(), field.bytes.begin(), field.bytes.end());
    }
    return raw(std::move(info), std::move(value));
}

namespace {

std::vector<std::int64_t> groupArrayInfo(const std::vector<std::int64_t>& fieldCodes, std::int64_t count) {
    std::vector<std::int64_t> info{ArrayCode, GroupCode, 0, static_cast<std::int64_t>(fieldCodes.size())};
    for (std::int64_t fieldCode : fieldCodes) {
        info.push_back(0);
        info.push_back(fieldCode);
    }
    info.push_back(count);
    return info;
}

} // namespace

Tag Tag::groupArray(const std::vector<std::int64_t>& fieldCodes, std::int64_t count, Bytes groups) {
    return raw(groupArrayInfo(fieldCodes, count), std::move(groups));
}

Tag Tag::generatedGroupArray(const std::vector<std::int64_t>& fieldCodes, std::int64_t count,
                             GeneratedValue groups) {
    return generated(groupArrayInfo(fieldCodes, count), std::move(groups));
}

Tag& Tag::separator(std::string_view fourBytes) {
    if (fourBytes.size() != 4) {
        throw std::invalid_argument("a tag separator is four bytes");
    }
    std::memcpy(m_separator.data(), fourBytes.data(), 4);
    return *this;
}

Tag& Tag::infoCount(std::int64_t count) {
    m_infoCount = count;
    return *this;
}

std::uint64_t Tag::valueSize() const {
    return m_generated ? m_generated->size : m_value.size();
}

// ---------------------------------------------------------------------------------------------
// Directory

Directory::Directory() = default;
Directory::~Directory() = default;
Directory::Directory(Directory&&) noexcept = default;
Directory& Directory::operator=(Directory&&) noexcept = default;

Directory& Directory::addDirectory(std::string name, EntryOptions options) {
    m_entries.push_back(std::make_unique<Entry>(Entry{std::move(name), options, Directory{}}));
    return m_entries.back()->directory();
}

Tag& Directory::addTag(std::string name, Tag tag, EntryOptions options) {
    m_entries.push_back(std::make_unique<Entry>(Entry{std::move(name), options, std::move(tag)}));
    return m_entries.back()->tag();
}

Directory& Directory::flags(std::uint8_t first, std::uint8_t second) {
    m_firstFlag = first;
    m_secondFlag = second;
    return *this;
}

Directory& Directory::entryCount(std::int64_t count) {
    m_entryCount = count;
    return *this;
}

void Directory::reserve(std::size_t count) {
    m_entries.reserve(count);
}

Entry* Directory::find(std::string_view name) {
    for (auto& entry : m_entries) {
        if (entry->name == name) {
            return entry.get();
        }
    }
    return nullptr;
}

Directory& Directory::directory(std::string_view name) {
    Entry* entry = find(name);
    if (entry == nullptr || !entry->isDirectory()) {
        throw std::out_of_range("no directory named " + std::string(name));
    }
    return entry->directory();
}

Tag& Directory::tag(std::string_view name) {
    Entry* entry = find(name);
    if (entry == nullptr || entry->isDirectory()) {
        throw std::out_of_range("no tag named " + std::string(name));
    }
    return entry->tag();
}

std::size_t Directory::remove(std::string_view name) {
    return std::erase_if(m_entries,
                         [name](const std::unique_ptr<Entry>& entry) { return entry->name == name; });
}

// ---------------------------------------------------------------------------------------------
// Serialisation

namespace {

/// Where the bytes go; counts them so that offsets can be recorded.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const std::uint8_t* data, std::size_t size) = 0;
    /// `size` zero bytes that nobody needs to see written.
    virtual void zeros(std::uint64_t size) = 0;

    void write(const Bytes& bytes) { write(bytes.data(), bytes.size()); }
    std::uint64_t position() const { return m_position; }

protected:
    std::uint64_t m_position = 0;
};

class VectorSink final : public Sink {
public:
    explicit VectorSink(Bytes& out) : m_out(out) {}

    void write(const std::uint8_t* data, std::size_t size) override {
        m_out.insert(m_out.end(), data, data + size);
        m_position += size;
    }
    void zeros(std::uint64_t size) override {
        m_out.resize(m_out.size() + static_cast<std::size_t>(size), 0);
        m_position += size;
    }

private:
    Bytes& m_out;
};

class StreamSink : public Sink {
public:
    explicit StreamSink(std::ostream& out) : m_out(out) {}

    void write(const std::uint8_t* data, std::size_t size) override {
        m_out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!m_out) {
            throw std::runtime_error("writing the DM file failed");
        }
        m_position += size;
    }
    void zeros(std::uint64_t size) override {
        static const std::array<std::uint8_t, 64 * 1024> s_zeros{};
        while (size > 0) {
            const std::size_t chunk = size < s_zeros.size() ? static_cast<std::size_t>(size) : s_zeros.size();
            write(s_zeros.data(), chunk);
            size -= chunk;
        }
    }

protected:
    std::ostream& m_out;
};

/// Skips over zero runs so that the file system leaves holes; the caller sets the final size.
class SparseFileSink final : public StreamSink {
public:
    using StreamSink::StreamSink;

    void zeros(std::uint64_t size) override {
        m_out.seekp(static_cast<std::streamoff>(size), std::ios::cur);
        if (!m_out) {
            throw std::runtime_error("seeking in the DM file failed");
        }
        m_position += size;
    }
};

Bytes effectiveTrailer(const std::optional<Bytes>& trailer, bool dmFraming) {
    if (trailer) {
        return *trailer;
    }
    return dmFraming ? Bytes(8, 0) : Bytes{};
}

} // namespace

/// Lays a tree out in one version: a measuring pass caches every directory's size (needed for the
/// DM4 entry sizes), then a writing pass emits the bytes and records the offsets.
class Serializer {
public:
    explicit Serializer(Version version) : m_width(version == Version::Dm4 ? 8 : 4) {}

    /// Header, root directory and trailer of `file`.
    static void writeFile(Sink& sink, DmFile& file);

    std::uint64_t measure(Directory& directory) const {
        std::uint64_t size = 2 + m_width;
        for (auto& entry : directory.m_entries) {
            size += entrySize(*entry);
        }
        directory.m_bodySize = size;
        return size;
    }

    void write(Sink& sink, Directory& directory) const {
        directory.m_offset = sink.position();
        const std::uint8_t flags[2] = {directory.m_firstFlag, directory.m_secondFlag};
        sink.write(flags, 2);
        writeBig(sink, directory.m_entryCount.value_or(static_cast<std::int64_t>(directory.m_entries.size())),
                 m_width);
        for (auto& entry : directory.m_entries) {
            write(sink, *entry);
        }
        directory.m_endOffset = sink.position();
    }

    static void writeBig(Sink& sink, std::uint64_t value, unsigned width) {
        std::uint8_t bytes[8];
        for (unsigned i = 0; i < width; ++i) {
            bytes[i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
        }
        sink.write(bytes, width);
    }
    static void writeBig(Sink& sink, std::int64_t value, unsigned width) {
        writeBig(sink, static_cast<std::uint64_t>(value), width);
    }

private:
    std::uint64_t tagSize(const Tag& tag) const {
        return 4 + m_width + m_width * tag.m_info.size() + tag.valueSize();
    }

    std::uint64_t bodySize(Entry& entry) const {
        return entry.isDirectory() ? measure(entry.directory()) : tagSize(entry.tag());
    }

    std::uint64_t entrySize(Entry& entry) const {
        return 1 + 2 + entry.name.size() + (m_width == 8 ? 8 : 0) + bodySize(entry);
    }

    void write(Sink& sink, Entry& entry) const {
        entry.offset = sink.position();
        const std::uint8_t typeByte =
            entry.options.typeByte.value_or(entry.isDirectory() ? DirectoryEntry : TagEntry);
        sink.write(&typeByte, 1);
        writeBig(
            sink,
            std::uint64_t{entry.options.nameLength.value_or(static_cast<std::uint16_t>(entry.name.size()))},
            2);
        sink.write(reinterpret_cast<const std::uint8_t*>(entry.name.data()), entry.name.size());
        if (m_width == 8) {
            const std::uint64_t body =
                entry.isDirectory() ? entry.directory().m_bodySize : tagSize(entry.tag());
            writeBig(sink, entry.options.entrySize.value_or(body), 8);
        }
        if (entry.isDirectory()) {
            write(sink, entry.directory());
        } else {
            write(sink, entry.tag());
        }
    }

    void write(Sink& sink, Tag& tag) const {
        tag.m_offset = sink.position();
        sink.write(tag.m_separator.data(), tag.m_separator.size());
        writeBig(sink, tag.m_infoCount.value_or(static_cast<std::int64_t>(tag.m_info.size())), m_width);
        for (std::int64_t value : tag.m_info) {
            writeBig(sink, value, m_width);
        }
        tag.m_valueOffset = sink.position();
        if (!tag.m_generated) {
            sink.write(tag.m_value);
        } else if (!tag.m_generated->fill) {
            sink.zeros(tag.m_generated->size);
        } else {
            constexpr std::size_t chunkSize = 1 << 20;
            Bytes chunk;
            for (std::uint64_t done = 0; done < tag.m_generated->size;) {
                const std::uint64_t left = tag.m_generated->size - done;
                chunk.resize(left < chunkSize ? static_cast<std::size_t>(left) : chunkSize);
                tag.m_generated->fill(done, chunk);
                sink.write(chunk);
                done += chunk.size();
            }
        }
        tag.m_endOffset = sink.position();
    }

    unsigned m_width;
};

// ---------------------------------------------------------------------------------------------
// DmFile

DmFile::DmFile(Version version) : m_version(version) {}

DmFile& DmFile::setVersion(Version version) {
    m_version = version;
    return *this;
}

DmFile& DmFile::versionWord(std::uint32_t word) {
    m_versionWord = word;
    return *this;
}

DmFile& DmFile::lengthWord(std::uint64_t word) {
    m_lengthWord = word;
    return *this;
}

DmFile& DmFile::byteOrder(std::uint32_t word) {
    m_byteOrder = word;
    return *this;
}

DmFile& DmFile::trailer(Bytes bytes) {
    m_trailer = std::move(bytes);
    return *this;
}

DmFile& DmFile::dmFraming() {
    m_dmFraming = true;
    return *this;
}

std::uint64_t DmFile::headerSize() const {
    return m_version == Version::Dm4 ? 16 : 12;
}

std::uint64_t DmFile::size() {
    return headerSize() + Serializer(m_version).measure(m_root) +
           effectiveTrailer(m_trailer, m_dmFraming).size();
}

void Serializer::writeFile(Sink& sink, DmFile& file) {
    const bool wide = file.m_version == Version::Dm4;
    const Serializer serializer(file.m_version);
    const Bytes trailer = effectiveTrailer(file.m_trailer, file.m_dmFraming);
    const std::uint64_t total = file.headerSize() + serializer.measure(file.m_root) + trailer.size();
    writeBig(sink, std::uint64_t{file.m_versionWord.value_or(static_cast<std::uint32_t>(file.m_version))}, 4);
    const std::uint64_t framedLength = total - (wide ? 24 : 16);
    writeBig(sink, file.m_lengthWord.value_or(file.m_dmFraming ? framedLength : 0), wide ? 8 : 4);
    writeBig(sink, std::uint64_t{file.m_byteOrder}, 4);
    serializer.write(sink, file.m_root);
    sink.write(trailer);
}

Bytes DmFile::toBytes() {
    const std::uint64_t total = size();
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(total));
    VectorSink sink(bytes);
    Serializer::writeFile(sink, *this);
    return bytes;
}

void DmFile::writeTo(std::ostream& out) {
    StreamSink sink(out);
    Serializer::writeFile(sink, *this);
}

namespace {

void addLayout(const Directory& directory, std::uint64_t width, DmFile::Layout& layout) {
    layout.structure.emplace_back(directory.offset(), 2 + width);
    for (std::size_t i = 0; i < directory.size(); ++i) {
        const Entry& entry = directory.entry(i);
        if (entry.isDirectory()) {
            const Directory& inner = std::get<Directory>(entry.body);
            layout.structure.emplace_back(entry.offset, inner.offset() - entry.offset);
            addLayout(inner, width, layout);
            continue;
        }
        const Tag& tag = std::get<Tag>(entry.body);
        layout.structure.emplace_back(entry.offset, tag.valueOffset() - entry.offset);
        if (entry.name == "Data") {
            layout.data.emplace_back(tag.valueOffset(), tag.endOffset() - tag.valueOffset());
        }
    }
}

} // namespace

DmFile::Layout DmFile::layout() const {
    Layout layout;
    layout.structure.emplace_back(0, headerSize());
    addLayout(m_root, m_version == Version::Dm4 ? 8 : 4, layout);
    return layout;
}

void DmFile::writeFile(const std::string& path) {
    const std::uint64_t total = size();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw std::runtime_error("cannot create " + path);
        }
        SparseFileSink sink(out);
        Serializer::writeFile(sink, *this);
    }
    // A file that ends in a hole is only as long as its last written byte.
    std::filesystem::resize_file(path, total);
}

} // namespace dmwriter
