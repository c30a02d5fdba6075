// The heap of the program on the system's large pages. Parsing a large XML file
// is mostly the XML library allocating small nodes and strings, and most of
// that time went into the first touch of fresh 4 KiB pages; the allocator the
// program is linked with (mimalloc, where the build found it) takes its memory
// from the system in large runs, and with this option asks the system to back
// them with large (2 MiB) pages where the system allows it. Peak memory stays
// the same. Set before main, ahead of any large allocation.
#include <mimalloc.h>

namespace {

struct LargePages {
    LargePages() { mi_option_enable(mi_option_large_os_pages); }
};

const LargePages g_largePages;

}  // namespace

// The C++ allocation functions of the program, on the same allocator. The
// library's own versions end the process when memory runs out; these keep the
// language's rule, std::bad_alloc, which the builder turns into FATAL 1 and its
// exit code.
#include <cstddef>
#include <new>

namespace {

void* allocate(std::size_t size) {
    for (;;) {
        if (void* memory = mi_malloc(size == 0 ? 1 : size)) return memory;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    for (;;) {
        if (void* memory = mi_malloc_aligned(size == 0 ? 1 : size, static_cast<std::size_t>(alignment)))
            return memory;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return mi_malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return mi_malloc(size == 0 ? 1 : size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return mi_malloc_aligned(size == 0 ? 1 : size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return mi_malloc_aligned(size == 0 ? 1 : size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept { mi_free(memory); }
void operator delete[](void* memory) noexcept { mi_free(memory); }
void operator delete(void* memory, std::size_t) noexcept { mi_free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { mi_free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { mi_free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { mi_free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { mi_free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { mi_free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { mi_free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { mi_free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { mi_free(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept { mi_free(memory); }
