#include <PictureMemory.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <malloc.h>
#include <sys/mman.h>

namespace {

constexpr size_t kMapThreshold = size_t(1) << 20;
constexpr size_t kHugePage = size_t(2) << 20;

// The mapped blocks and their mapped lengths. Never destroyed: bitmaps held
// by static objects may be freed after it would have been.
struct MappedBlocks
{
    std::mutex lock;
    std::unordered_map<const void*, size_t> lengths;
    // Freed blocks kept for the next allocation, oldest first: their pages
    // are already faulted in, which fresh ones would have to be again.
    std::vector<std::pair<void*, size_t>> spare;
    size_t spareBytes = 0;
};

constexpr size_t kSpareBlocks = 4;
constexpr size_t kSpareBytes = size_t(512) << 20;

MappedBlocks& mapped_blocks()
{
    static MappedBlocks* blocks = new MappedBlocks;
    return *blocks;
}

bool mapped_length(const void* block, size_t* length)
{
    MappedBlocks& blocks = mapped_blocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    auto it = blocks.lengths.find(block);
    if (it == blocks.lengths.end())
        return false;
    *length = it->second;
    return true;
}

void remember(const void* block, size_t length)
{
    MappedBlocks& blocks = mapped_blocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    blocks.lengths[block] = length;
}

void forget(const void* block)
{
    MappedBlocks& blocks = mapped_blocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    blocks.lengths.erase(block);
}

// Whole huge pages, or 0 when the size cannot be rounded up.
size_t mapped_length_for(size_t size)
{
    if (size > SIZE_MAX - 2 * kHugePage)
        return 0;
    return (size + kHugePage - 1) & ~(kHugePage - 1);
}

// length bytes of address space on a huge-page boundary, unused yet, or null.
// What lies outside the aligned part is given back.
void* reserve_aligned(size_t length, int protection)
{
    size_t span = length + kHugePage;
    void* raw = mmap(nullptr, span, protection, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    size_t head = aligned - start;
    size_t tail = span - head - length;
    if (head > 0)
        munmap(raw, head);
    if (tail > 0)
        munmap(reinterpret_cast<void*>(aligned + length), tail);
    return reinterpret_cast<void*>(aligned);
}

// The smallest spare block of at least length bytes, cut to length; null
// when none is.
void* take_spare(size_t length)
{
    void* block = nullptr;
    size_t spareLength = 0;
    {
        MappedBlocks& blocks = mapped_blocks();
        std::lock_guard<std::mutex> guard(blocks.lock);
        size_t best = blocks.spare.size();
        for (size_t i = 0; i < blocks.spare.size(); i++) {
            size_t l = blocks.spare[i].second;
            if (l >= length && (best == blocks.spare.size() || l < blocks.spare[best].second))
                best = i;
        }
        if (best == blocks.spare.size())
            return nullptr;
        std::tie(block, spareLength) = blocks.spare[best];
        blocks.spare.erase(blocks.spare.begin() + std::ptrdiff_t(best));
        blocks.spareBytes -= spareLength;
    }
    if (spareLength > length)
        munmap(static_cast<uint8_t*>(block) + length, spareLength - length);
    remember(block, length);
    return block;
}

// Keeps a freed block for reuse, giving back the oldest beyond the limits.
void keep_spare(void* block, size_t length)
{
    std::vector<std::pair<void*, size_t>> evicted;
    {
        MappedBlocks& blocks = mapped_blocks();
        std::lock_guard<std::mutex> guard(blocks.lock);
        blocks.lengths.erase(block);
        blocks.spare.emplace_back(block, length);
        blocks.spareBytes += length;
        while (blocks.spare.size() > kSpareBlocks || blocks.spareBytes > kSpareBytes) {
            evicted.push_back(blocks.spare.front());
            blocks.spareBytes -= blocks.spare.front().second;
            blocks.spare.erase(blocks.spare.begin());
        }
    }
    for (const auto& [address, bytes] : evicted)
        munmap(address, bytes);
}

void* map_block(size_t size, bool zeroed)
{
    size_t length = mapped_length_for(size);
    if (length == 0)
        return nullptr;
    if (void* reused = take_spare(length)) {
        if (zeroed)
            std::memset(reused, 0, size);
        return reused;
    }
    // Reserved as PROT_NONE first so that MAP_NORESERVE does not leak into
    // the block: the pixels are committed memory like any other.
    void* block = reserve_aligned(length, PROT_NONE);
    if (block == nullptr)
        return nullptr;
    void* mapped = mmap(block, length, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (mapped == MAP_FAILED) {
        munmap(block, length);
        return nullptr;
    }
    madvise(block, length, MADV_HUGEPAGE);
    remember(block, length);
    return block;
}

// A mapped block resized to at least size bytes (still over the threshold),
// moved if it must be to an aligned place; null on failure, the block kept.
void* remap_block(void* block, size_t oldLength, size_t size)
{
    size_t length = mapped_length_for(size);
    if (length == 0)
        return nullptr;
    if (length == oldLength)
        return block;
    if (length < oldLength) {
        munmap(static_cast<uint8_t*>(block) + length, oldLength - length);
        remember(block, length);
        return block;
    }
    // Growing in place keeps every page where it is.
    void* grown = mremap(block, oldLength, length, 0);
    if (grown == MAP_FAILED) {
        // Elsewhere: the page tables move, the pixels are not copied.
        void* target = reserve_aligned(length, PROT_NONE);
        if (target == nullptr)
            return nullptr;
        // Forgotten before its addresses are free for another block to take.
        forget(block);
        grown = mremap(block, oldLength, length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
        if (grown == MAP_FAILED) {
            remember(block, oldLength);
            munmap(target, length);
            return nullptr;
        }
    }
    madvise(grown, length, MADV_HUGEPAGE);
    remember(grown, length);
    return grown;
}

} // namespace

void* picture_alloc(size_t size, bool zeroed)
{
    if (size >= kMapThreshold)
        return map_block(size, zeroed);
    return zeroed ? std::calloc(1, size) : std::malloc(size);
}

void* picture_realloc(void* block, size_t size)
{
    if (block == nullptr)
        return picture_alloc(size);
    if (size == 0) {
        picture_free(block);
        return nullptr;
    }
    size_t oldLength = 0;
    bool mapped = mapped_length(block, &oldLength);
    if (mapped && size >= kMapThreshold)
        return remap_block(block, oldLength, size);
    if (!mapped && size < kMapThreshold)
        return std::realloc(block, size);

    // Between the heap and a mapping: a copy of what both hold.
    size_t oldSize = mapped ? oldLength : malloc_usable_size(block);
    void* moved = picture_alloc(size, false);
    if (moved == nullptr)
        return nullptr;
    std::memcpy(moved, block, oldSize < size ? oldSize : size);
    picture_free(block);
    return moved;
}

void picture_free(void* block)
{
    if (block == nullptr)
        return;
    size_t length = 0;
    if (mapped_length(block, &length))
        keep_spare(block, length);
    else
        std::free(block);
}

bool picture_block_is_mapped(const void* block)
{
    size_t length = 0;
    return block != nullptr && mapped_length(block, &length);
}

void picture_release_spare()
{
    std::vector<std::pair<void*, size_t>> released;
    {
        MappedBlocks& blocks = mapped_blocks();
        std::lock_guard<std::mutex> guard(blocks.lock);
        released.swap(blocks.spare);
        blocks.spareBytes = 0;
    }
    for (const auto& [address, bytes] : released)
        munmap(address, bytes);
}
