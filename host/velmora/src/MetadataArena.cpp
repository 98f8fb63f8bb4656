#include "velmora/MetadataArena.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace velmora {

namespace {

// Small files make a few hundred nodes: the first blocks are small and come from malloc. Past
// SmallBlockLimit the blocks are 2 MiB-aligned mappings advised for huge pages, growing to
// LargestBlockSize; pages of a mapping that are never touched cost nothing.
constexpr std::size_t SmallBlockLimit = std::size_t{256} << 10;
constexpr std::size_t HugePageSize = std::size_t{2} << 20;
constexpr std::size_t LargestBlockSize = std::size_t{32} << 20;

thread_local std::shared_ptr<MetadataArena> t_current;

// Arenas released while another arena of this thread is being destroyed: an arena that keeps other
// arenas alive releases them from this list, one after the other, instead of from its destructor,
// so a long chain of arenas keeping each other alive does not recurse once per link.
thread_local std::vector<std::shared_ptr<const void>>* t_releasing = nullptr;

// Eight bytes at a time, each word folded in with a multiply: names are short, and a text's hash is
// taken once per node.
[[gnu::always_inline]] inline std::uint64_t hashText(std::string_view text) {
    constexpr std::uint64_t Multiplier = 0x9E3779B97F4A7C15ULL;
    std::uint64_t hash = text.size() * Multiplier;
    const char* at = text.data();
    std::size_t left = text.size();
    for (; left >= 8; at += 8, left -= 8) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        hash = (hash ^ word) * Multiplier;
        hash ^= hash >> 32;
    }
    if (left > 0) {
        // The last bytes are read as whole words (overlapping bytes already hashed), never one by
        // one into a word of memory that is then read back.
        std::uint64_t word;
        if (text.size() >= 8) {
            std::memcpy(&word, text.data() + text.size() - 8, 8);
        } else if (left >= 4) {
            std::uint32_t low;
            std::uint32_t high;
            std::memcpy(&low, at, 4);
            std::memcpy(&high, at + left - 4, 4);
            word = (std::uint64_t{high} << 32) | low;
        } else {
            word = static_cast<std::uint64_t>(static_cast<unsigned char>(at[0])) |
                   static_cast<std::uint64_t>(static_cast<unsigned char>(at[left / 2])) << 8 |
                   static_cast<std::uint64_t>(static_cast<unsigned char>(at[left - 1])) << 16;
        }
        hash = (hash ^ word) * Multiplier;
    }
    hash ^= hash >> 29;
    hash *= 0xBF58476D1CE4E5B9ULL;
    return hash ^ (hash >> 32);
}

// Whether `text` keeps its characters outside itself (in memory of its own).
bool holdsCharactersElsewhere(const std::string& text) {
    const auto* at = reinterpret_cast<const char*>(&text);
    return text.data() < at || text.data() >= at + sizeof(std::string);
}

std::size_t roundUpToHugePage(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() - 2 * HugePageSize) {
        throw std::bad_alloc();
    }
    return (bytes + HugePageSize - 1) & ~(HugePageSize - 1);
}

// `size` bytes (a multiple of HugePageSize) at a 2 MiB boundary: over-map by one huge page, then
// give back the unused ends.
void* mapHugePageBlock(std::size_t size) {
    const std::size_t mapped = size + HugePageSize;
    void* memory = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto base = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t aligned = (base + HugePageSize - 1) & ~(std::uintptr_t{HugePageSize} - 1);
    if (aligned > base) {
        ::munmap(memory, aligned - base);
    }
    if (base + mapped > aligned + size) {
        ::munmap(reinterpret_cast<void*>(aligned + size), base + mapped - (aligned + size));
    }
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

} // namespace

struct MetadataArena::MadeString {
    std::string text;
    MadeString* next;
};

MetadataArena::MetadataArena(std::size_t firstBlockSize)
    : m_nextBlockSize(firstBlockSize < 64 ? 64 : firstBlockSize),
      // An arena for a whole tree remembers recent texts (its tables are made when it first makes
      // one); one for a single node or value has no use for that.
      m_interns(firstBlockSize >= DefaultFirstBlockSize) {}

MetadataArena::~MetadataArena() {
    if (t_releasing != nullptr) {
        for (auto& owner : m_keptAlive) {
            t_releasing->push_back(std::move(owner));
        }
    } else {
        std::vector<std::shared_ptr<const void>> releasing = std::move(m_keptAlive);
        t_releasing = &releasing;
        while (!releasing.empty()) {
            std::shared_ptr<const void> owner = std::move(releasing.back());
            releasing.pop_back();
            owner.reset();
        }
        t_releasing = nullptr;
    }
    for (std::string* text : m_ownedStrings) {
        text->~basic_string();
    }
    for (MadeString* made = m_madeStrings.load(std::memory_order_acquire); made != nullptr;) {
        delete std::exchange(made, made->next);
    }
    for (const Block& block : m_blocks) {
        if (block.mapped) {
            ::munmap(block.data, block.size);
        } else {
            std::free(block.data);
        }
    }
}

void* MetadataArena::allocateInNewBlock(std::size_t bytes, std::size_t alignment) {
    if (bytes > std::numeric_limits<std::size_t>::max() - alignment) {
        throw std::bad_alloc();
    }
    addBlock(bytes + alignment);
    const std::uintptr_t at = (m_next + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
    m_next = at + bytes;
    return reinterpret_cast<void*>(at);
}

MetadataArena::InternSlot* MetadataArena::slotForNewText(InternTable& table, std::uint64_t hash) {
    if (table.slots.empty()) {
        if (!m_interns) {
            return nullptr;
        }
        table.slots.assign(FirstInternTableSize, InternSlot{0, nullptr});
    }
    if (++table.misses > 2 * table.slots.size() && table.slots.size() < LargestInternTableSize) {
        // A tree with many distinct texts gets a larger table (a fresh one: it only remembers).
        table.slots.assign(4 * table.slots.size(), InternSlot{0, nullptr});
        table.misses = 0;
    }
    return &table.slots[hash & (table.slots.size() - 1)];
}

namespace {

std::string_view textOf(const std::string& text) {
    return text;
}

std::string_view textOf(const MetadataName& name) {
    return name.view();
}

// The Record equal to `text` that `table` remembers, or null. The hash is compared first, in the
// table, so that a text not seen before costs no visit to a record made long ago.
template <typename Record, typename Table>
const Record* findInterned(const Table& table, std::uint64_t hash, std::string_view text) {
    if (table.slots.empty()) {
        return nullptr;
    }
    const auto& slot = table.slots[hash & (table.slots.size() - 1)];
    if (slot.record == nullptr || slot.hash != hash) {
        return nullptr;
    }
    const auto* seen = static_cast<const Record*>(slot.record);
    return textOf(*seen) == text ? seen : nullptr;
}

} // namespace

const std::string& MetadataArena::intern(std::string_view text) {
    const std::uint64_t hash = hashText(text);
    if (const std::string* seen = findInterned<std::string>(m_texts, hash, text)) {
        return *seen;
    }
    InternSlot* slot = slotForNewText(m_texts, hash);
    auto* made = new (allocate(sizeof(std::string), alignof(std::string))) std::string(text);
    // A string that keeps its characters in place owns no memory: only the others are destroyed.
    if (holdsCharactersElsewhere(*made)) {
        m_ownedStrings.push_back(made);
    }
    if (slot != nullptr) {
        *slot = InternSlot{hash, made};
    }
    return *made;
}

const MetadataName& MetadataArena::internName(std::string_view name) {
    const std::uint64_t hash = hashText(name);
    if (const MetadataName* seen = findInterned<MetadataName>(m_names, hash, name)) {
        return *seen;
    }
    InternSlot* slot = slotForNewText(m_names, hash);
    const MetadataName& made = makeName(name);
    if (slot != nullptr) {
        *slot = InternSlot{hash, &made};
    }
    return made;
}

namespace {

// A permanent name: its record and characters, and a link to the one made before it. Never
// released; every one stays reachable from the list's head.
struct PermanentName {
    const PermanentName* previous;
    MetadataName name;
};

std::atomic<const PermanentName*> g_permanentNames{nullptr};

} // namespace

const MetadataName& MetadataArena::makePermanentName(std::string_view name) {
    static_assert(offsetof(PermanentName, name) + sizeof(MetadataName) == sizeof(PermanentName),
                  "the characters follow the record");
    auto* made = new (::operator new(sizeof(PermanentName) + name.size())) PermanentName{nullptr, {}};
    made->name.m_size = name.size();
    std::memcpy(reinterpret_cast<char*>(&made->name + 1), name.data(), name.size());
    made->name.m_string.store(new std::string(name), std::memory_order_release);
    made->previous = g_permanentNames.load(std::memory_order_relaxed);
    while (!g_permanentNames.compare_exchange_weak(made->previous, made, std::memory_order_release,
                                                   std::memory_order_relaxed)) {
    }
    return made->name;
}

const std::string& MetadataArena::nameString(const MetadataName& name) {
    auto made = std::make_unique<MadeString>(MadeString{std::string(name.view()), nullptr});
    const std::string* seen = nullptr;
    if (!name.m_string.compare_exchange_strong(seen, &made->text, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
        return *seen; // another thread made it first
    }
    MadeString* pushed = made.release();
    pushed->next = m_madeStrings.load(std::memory_order_relaxed);
    while (!m_madeStrings.compare_exchange_weak(pushed->next, pushed, std::memory_order_release,
                                                std::memory_order_relaxed)) {
    }
    return pushed->text;
}

std::size_t MetadataArena::footprint() const {
    // The block in use counts as far as it is used: the rest of a mapping is never touched.
    std::size_t bytes = m_reservedBytes - (m_end - m_next) +
                        (m_texts.slots.capacity() + m_names.slots.capacity()) * sizeof(InternSlot) +
                        m_ownedStrings.capacity() * sizeof(std::string*) +
                        m_keptAlive.capacity() * sizeof(std::shared_ptr<const void>);
    for (const std::string* text : m_ownedStrings) {
        bytes += text->capacity() + 1;
    }
    for (const MadeString* made = m_madeStrings.load(std::memory_order_acquire); made != nullptr;
         made = made->next) {
        bytes += sizeof(MadeString) + (holdsCharactersElsewhere(made->text) ? made->text.capacity() + 1 : 0);
    }
    return bytes;
}

void MetadataArena::keepAlive(std::shared_ptr<const void> owner) {
    m_keptAlive.push_back(std::move(owner));
}

void MetadataArena::addBlock(std::size_t minimum) {
    m_blocks.reserve(m_blocks.size() + 1);
    Block block{nullptr, m_nextBlockSize < minimum ? minimum : m_nextBlockSize, false};
    if (block.size < SmallBlockLimit) {
        block.data = std::malloc(block.size);
        if (block.data == nullptr) {
            throw std::bad_alloc();
        }
        m_nextBlockSize = block.size * 2 < SmallBlockLimit ? block.size * 2 : HugePageSize;
    } else {
        block.size = roundUpToHugePage(block.size);
        block.data = mapHugePageBlock(block.size);
        block.mapped = true;
        m_nextBlockSize = block.size * 2 < LargestBlockSize ? block.size * 2 : LargestBlockSize;
    }
    m_blocks.push_back(block);
    m_reservedBytes += block.size;
    m_next = reinterpret_cast<std::uintptr_t>(block.data);
    m_end = m_next + block.size;
}

MetadataArena::Scope::Scope() : m_previous(std::move(t_current)) {
    t_current = std::make_shared<MetadataArena>();
}

MetadataArena::Scope::~Scope() {
    t_current = std::move(m_previous);
}

const std::shared_ptr<MetadataArena>& MetadataArena::current() {
    return t_current;
}

} // namespace velmora
