#pragma once

#include <cstddef>
#include <new>

namespace orq::libs::core::detail {

// Memory for the small objects that every asynchronous operation allocates
// and frees again (a Redis command's handle, its reply receiver and posted
// delivery, the command itself when it is made for one request, and the
// holder of each handle's callback). With many operations in flight the
// general allocator's per-thread caches overflow and each of these costs a
// full malloc and free; here freed blocks wait on a list of the calling
// thread for the next operation instead. A block may be
// freed on another thread than the one that allocated it; each thread's list
// is bounded and released when the thread ends.
//
// The common case (a block of the thread's list taken or given back) is
// inline; the rest is in the library. Under the sanitizers every block comes
// from operator new, so that they still see each object's lifetime.
class block_pool {
public:
    static void* allocate(std::size_t _size) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        const int index = class_of(_size);
        free_lists& lists = t_lists;
        if (index >= 0 && lists.m_heads[index] != nullptr) {
            free_block* block = lists.m_heads[index];
            lists.m_heads[index] = block->m_next;
            --lists.m_counts[index];
            return block;
        }
#endif
        return allocate_slow(_size);
    }

    static void deallocate(void* _block, std::size_t _size) noexcept {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        const int index = class_of(_size);
        free_lists& lists = t_lists;
        if (_block != nullptr && index >= 0 && lists.m_open && lists.m_counts[index] < kept_per_class) {
            lists.m_heads[index] = new (_block) free_block{lists.m_heads[index]};
            ++lists.m_counts[index];
            return;
        }
#endif
        deallocate_slow(_block, _size);
    }

private:
    // Blocks of 32, 64, 128 and 256 bytes; larger requests go to operator new.
    static constexpr int classes = 4;
    static constexpr std::size_t smallest = 32;
    // Enough for a thousand operations in flight (at most 480 KiB a thread);
    // beyond that blocks are freed.
    static constexpr std::size_t kept_per_class = 1024;

    static constexpr int class_of(std::size_t _size) {
        return _size <= 32 ? 0 : _size <= 64 ? 1 : _size <= 128 ? 2 : _size <= 256 ? 3 : -1;
    }

    struct free_block {
        free_block* m_next;
    };

    // Trivially destructible, so that reaching it costs no more than a
    // thread-local address; the library releases the lists when the thread
    // ends (m_open is set once that is arranged, and cleared at the end).
    struct free_lists {
        free_block* m_heads[classes];
        std::size_t m_counts[classes];
        bool m_open;
        bool m_closed;
    };
    static inline thread_local free_lists t_lists{};

    static void* allocate_slow(std::size_t _size);
    static void deallocate_slow(void* _block, std::size_t _size) noexcept;
    // Gives the thread's blocks back to operator delete; none are kept after.
    static void release_lists() noexcept;
};

// A base that gives a class (and the classes derived from it) its memory
// from block_pool.
struct pool_allocated {
    static void* operator new(std::size_t _size) { return block_pool::allocate(_size); }
    static void operator delete(void* _block, std::size_t _size) noexcept { block_pool::deallocate(_block, _size); }
};

// block_pool as a standard allocator (for std::allocate_shared and for the
// allocator associated with a posted handler).
template <typename T>
class pool_allocator {
public:
    using value_type = T;

    pool_allocator() noexcept = default;
    template <typename U>
    pool_allocator(const pool_allocator<U>& /*_other*/) noexcept {}

    T* allocate(std::size_t _count) {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "block_pool blocks have the default alignment");
        return static_cast<T*>(block_pool::allocate(_count * sizeof(T)));
    }

    void deallocate(T* _block, std::size_t _count) noexcept { block_pool::deallocate(_block, _count * sizeof(T)); }

    template <typename U>
    bool operator==(const pool_allocator<U>& /*_other*/) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const pool_allocator<U>& /*_other*/) const noexcept {
        return false;
    }
};

}  // namespace orq::libs::core::detail
