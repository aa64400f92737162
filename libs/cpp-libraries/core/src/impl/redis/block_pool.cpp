#include "block_pool.hpp"

namespace orq::libs::core::redis::detail {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

void* block_pool::allocate(std::size_t _size) {
    return ::operator new(_size);
}

void block_pool::deallocate(void* _block, std::size_t /*_size*/) noexcept {
    ::operator delete(_block);
}

#else

namespace {

// Blocks of 32, 64, 128 and 256 bytes; larger requests go to operator new.
constexpr std::size_t classes = 4;
constexpr std::size_t smallest = 32;
// Enough for a thousand commands in flight (at most 480 KiB a thread);
// beyond that blocks are freed.
constexpr std::size_t kept_per_class = 1024;

int class_of(std::size_t _size) {
    std::size_t block = smallest;
    for (std::size_t i = 0; i < classes; ++i, block *= 2) {
        if (_size <= block) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

struct free_block {
    free_block* m_next;
};

// Set once the thread's lists have been released: blocks freed later on this
// thread (by other objects' destructors at thread exit) go to operator delete.
thread_local bool t_closed = false;

struct free_lists {
    free_block* m_heads[classes] = {};
    std::size_t m_counts[classes] = {};

    ~free_lists() {
        t_closed = true;
        for (free_block*& head : m_heads) {
            while (head != nullptr) {
                free_block* next = head->m_next;
                ::operator delete(head);
                head = next;
            }
        }
    }
};

thread_local free_lists t_lists;

}  // namespace

void* block_pool::allocate(std::size_t _size) {
    const int index = class_of(_size);
    if (index < 0) {
        return ::operator new(_size);
    }
    // Always a whole block: another thread may keep it for reuse.
    if (t_closed) {
        return ::operator new(smallest << index);
    }
    free_lists& lists = t_lists;
    if (free_block* block = lists.m_heads[index]) {
        lists.m_heads[index] = block->m_next;
        --lists.m_counts[index];
        return block;
    }
    return ::operator new(smallest << index);
}

void block_pool::deallocate(void* _block, std::size_t _size) noexcept {
    if (_block == nullptr) {
        return;
    }
    const int index = class_of(_size);
    if (index < 0 || t_closed) {
        ::operator delete(_block);
        return;
    }
    free_lists& lists = t_lists;
    if (lists.m_counts[index] >= kept_per_class) {
        ::operator delete(_block);
        return;
    }
    lists.m_heads[index] = new (_block) free_block{lists.m_heads[index]};
    ++lists.m_counts[index];
}

#endif

}  // namespace orq::libs::core::redis::detail
