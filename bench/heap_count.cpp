// Counting heap for vmod-bench: the C allocator's entry points are wrapped so that the bench
// can read how many heap bytes are in use and the highest level reached since a mark.
//
// The wrappers forward to the C library's own allocator and count each block by its usable
// size. They replace malloc and its relatives for the whole program (C++ new ends in malloc
// too), so every library the bench links is counted alike.
#include "bench/heap_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
// The C library's allocator under its internal names (exported by the GNU C library).
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
size_t malloc_usable_size(void* block);
}

namespace {

std::atomic<long long> g_in_use{0};
std::atomic<long long> g_peak{0};

void count_alloc(void* block) {
    if (!block)
        return;
    long long now = g_in_use.fetch_add(static_cast<long long>(malloc_usable_size(block)),
                                       std::memory_order_relaxed) +
                    static_cast<long long>(malloc_usable_size(block));
    long long peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

void count_free(void* block) {
    if (block) {
        g_in_use.fetch_sub(static_cast<long long>(malloc_usable_size(block)),
                           std::memory_order_relaxed);
    }
}

} // namespace

extern "C" {

void* malloc(size_t size) {
    void* block = __libc_malloc(size);
    count_alloc(block);
    return block;
}

void* calloc(size_t count, size_t size) {
    void* block = __libc_calloc(count, size);
    count_alloc(block);
    return block;
}

void* realloc(void* block, size_t size) {
    size_t old = block ? malloc_usable_size(block) : 0;
    void* moved = __libc_realloc(block, size);
    if (moved || size == 0) {
        g_in_use.fetch_sub(static_cast<long long>(old), std::memory_order_relaxed);
        count_alloc(moved);
    }
    return moved;
}

void free(void* block) {
    count_free(block);
    __libc_free(block);
}

void* memalign(size_t alignment, size_t size) {
    void* block = __libc_memalign(alignment, size);
    count_alloc(block);
    return block;
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* block = memalign(alignment, size);
    if (!block)
        return ENOMEM;
    *out = block;
    return 0;
}

} // extern "C"

long long heap_in_use() {
    return g_in_use.load(std::memory_order_relaxed);
}

void heap_mark() {
    g_peak.store(heap_in_use(), std::memory_order_relaxed);
}

long long heap_peak() {
    return g_peak.load(std::memory_order_relaxed);
}
