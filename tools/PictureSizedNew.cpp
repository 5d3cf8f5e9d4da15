// In pellara-depth every allocation of a megabyte or more, its libraries'
// included, comes from picture memory (huge pages; see PictureMemory.h).
// assimp copies a model file whole and keeps its vertices in arrays of
// tens of megabytes: with 4 KiB pages, faulting those in cost more than
// reading the model. Replacing the global operator new is the one way to
// reach allocations made inside a library; only the tool's own executable
// does it.
#include <PictureMemory.h>

#include <cstdint>
#include <cstdlib>
#include <new>

// The sanitizers keep their own operator new, to check every block.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELLARA_KEEP_OPERATOR_NEW 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELLARA_KEEP_OPERATOR_NEW 1
#endif

#ifndef PELLARA_KEEP_OPERATOR_NEW

namespace {

constexpr size_t kLarge = size_t(1) << 20;
// Mapped picture blocks start on 2 MiB boundaries; a heap block almost
// never does, so most frees need no look-up.
constexpr uintptr_t kBoundary = (uintptr_t(2) << 20) - 1;

void* allocate(size_t size) noexcept
{
    return size >= kLarge ? picture_alloc(size) : std::malloc(size != 0 ? size : 1);
}

void release(void* block) noexcept
{
    if (block != nullptr && (reinterpret_cast<uintptr_t>(block) & kBoundary) == 0)
        picture_free(block); // frees heap blocks too
    else
        std::free(block);
}

void* allocate_or_throw(size_t size)
{
    for (;;) {
        if (void* block = allocate(size))
            return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr)
            throw std::bad_alloc();
        handler();
    }
}

} // namespace

void* operator new(size_t size)
{
    return allocate_or_throw(size);
}

void* operator new[](size_t size)
{
    return allocate_or_throw(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void operator delete(void* block) noexcept
{
    release(block);
}

void operator delete[](void* block) noexcept
{
    release(block);
}

void operator delete(void* block, size_t) noexcept
{
    release(block);
}

void operator delete[](void* block, size_t) noexcept
{
    release(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept
{
    release(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    release(block);
}

#endif // PELLARA_KEEP_OPERATOR_NEW
