#include <core/impl/block_pool.hpp>

namespace orq::libs::core::detail {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

void* block_pool::allocate_slow(std::size_t _size) {
    return ::operator new(_size);
}

void block_pool::deallocate_slow(void* _block, std::size_t /*_size*/) noexcept {
    ::operator delete(_block);
}

#else

namespace {

// Runs the release of the thread's lists when the thread ends.
struct lists_release {
    void (*m_release)() noexcept;
    ~lists_release() { m_release(); }
};

}  // namespace

void block_pool::release_lists() noexcept {
    free_lists& lists = t_lists;
    lists.m_open = false;
    lists.m_closed = true;
    for (free_block*& head : lists.m_heads) {
        while (head != nullptr) {
            free_block* next = head->m_next;
            ::operator delete(head);
            head = next;
        }
    }
}

void* block_pool::allocate_slow(std::size_t _size) {
    const int index = class_of(_size);
    if (index < 0) {
        return ::operator new(_size);
    }
    free_lists& lists = t_lists;
    if (!lists.m_open && !lists.m_closed) {
        // The first block of this thread: its lists are released at its end.
        static thread_local const lists_release release{&block_pool::release_lists};
        lists.m_open = true;
    }
    // Always a whole block: another thread may keep it for reuse.
    return ::operator new(smallest << index);
}

void block_pool::deallocate_slow(void* _block, std::size_t /*_size*/) noexcept {
    // Not kept: too large, the list is full, or this thread's lists are not
    // (or no longer) kept.
    ::operator delete(_block);
}

#endif

}  // namespace orq::libs::core::detail
