#pragma once

#include <cstddef>
#include <new>

namespace orq::libs::core::redis::detail {

// Memory for the small objects that every asynchronous command allocates and
// frees again (its handle, its reply receiver, the posted delivery, and the
// command itself when it is made for one request). With many
// commands in flight the general allocator's per-thread caches overflow and
// each of these costs a full malloc and free; here freed blocks wait on a
// list of the calling thread for the next command instead. A block may be
// freed on another thread than the one that allocated it; each thread's list
// is bounded and released when the thread ends.
//
// Under the sanitizers every block comes from operator new, so that they
// still see each object's lifetime.
class block_pool {
public:
    static void* allocate(std::size_t _size);
    static void deallocate(void* _block, std::size_t _size) noexcept;
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

}  // namespace orq::libs::core::redis::detail
