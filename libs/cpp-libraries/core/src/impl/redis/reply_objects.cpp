#include "reply_objects.hpp"

#include <core/impl/block_pool.hpp>
#include <core/redis/reply.hpp>

#include <cstdlib>
#include <cstring>
#include <new>

namespace orq::libs::core::redis::detail {

namespace {

using ::orq::libs::core::detail::block_pool;

// A pool reply carries the address of this object in a field that its type
// leaves unused (an array its text, any other reply its elements), which no
// reply of hiredis' own can hold.
char pool_mark;

char* text_mark() {
    return &pool_mark;
}

redisReply** elements_mark() {
    return reinterpret_cast<redisReply**>(&pool_mark);
}

// Text up to this length shares the reply's block.
constexpr std::size_t largest_block = 256;

char* inline_text(redisReply* _reply) {
    return reinterpret_cast<char*>(_reply + 1);
}

// A zeroed reply of the given type in a block of _size bytes, marked as the
// pool's; null when out of memory. (A task's own type is that of the protocol
// element: a NIL comes from a bulk string or array of length -1.)
redisReply* make(int _type, std::size_t _size) noexcept {
    void* block = nullptr;
    try {
        block = block_pool::allocate(_size);
    } catch (...) {
        return nullptr;
    }
    auto* reply = new (block) redisReply{};
    reply->type = _type;
    if (_type == REDIS_REPLY_ARRAY) {
        reply->str = text_mark();
    } else {
        reply->element = elements_mark();
    }
    return reply;
}

// Places a complete reply in its parent array, as hiredis' own functions do.
void* link(const redisReadTask* _task, redisReply* _reply) {
    if (_task->parent != nullptr) {
        static_cast<redisReply*>(_task->parent->obj)->element[_task->idx] = _reply;
    }
    return _reply;
}

void* create_string(const redisReadTask* _task, char* _text, std::size_t _length) {
    const bool shared = sizeof(redisReply) + _length + 1 <= largest_block;
    redisReply* reply = make(_task->type, sizeof(redisReply) + (shared ? _length + 1 : 0));
    if (reply == nullptr) {
        return nullptr;
    }
    char* text = shared ? inline_text(reply) : static_cast<char*>(std::malloc(_length + 1));
    if (text == nullptr) {
        free_reply(reply);
        return nullptr;
    }
    if (_length != 0) {
        std::memcpy(text, _text, _length);
    }
    text[_length] = '\0';
    reply->str = text;
    reply->len = _length;
    return link(_task, reply);
}

void* create_array(const redisReadTask* _task, int _elements) {
    redisReply* reply = make(REDIS_REPLY_ARRAY, sizeof(redisReply));
    if (reply == nullptr) {
        return nullptr;
    }
    if (_elements > 0) {
        reply->element =
            static_cast<redisReply**>(std::calloc(static_cast<std::size_t>(_elements), sizeof(redisReply*)));
        if (reply->element == nullptr) {
            free_reply(reply);
            return nullptr;
        }
        reply->elements = static_cast<std::size_t>(_elements);
    }
    return link(_task, reply);
}

void* create_integer(const redisReadTask* _task, long long _value) {
    redisReply* reply = make(REDIS_REPLY_INTEGER, sizeof(redisReply));
    if (reply == nullptr) {
        return nullptr;
    }
    reply->integer = _value;
    return link(_task, reply);
}

void* create_nil(const redisReadTask* _task) {
    redisReply* reply = make(REDIS_REPLY_NIL, sizeof(redisReply));
    return reply == nullptr ? nullptr : link(_task, reply);
}

void free_object(void* _reply) {
    free_reply(static_cast<redisReply*>(_reply));
}

}  // namespace

const redisReplyObjectFunctions& pool_reply_functions() {
    static const redisReplyObjectFunctions functions{&create_string, &create_array, &create_integer, &create_nil,
                                                     &free_object};
    return functions;
}

void free_reply(redisReply* _reply) noexcept {
    if (_reply == nullptr) {
        return;
    }
    const int type = _reply->type;
    std::size_t size = sizeof(redisReply);
    if (type == REDIS_REPLY_ARRAY) {
        if (_reply->str != text_mark()) {
            freeReplyObject(_reply);
            return;
        }
        for (std::size_t i = 0; i < _reply->elements; ++i) {
            free_reply(_reply->element[i]);
        }
        std::free(_reply->element);
    } else {
        if (_reply->element != elements_mark()) {
            freeReplyObject(_reply);
            return;
        }
        // Text, unless the reply is an integer or NIL (no text then).
        if (_reply->str == inline_text(_reply)) {
            size += _reply->len + 1;
        } else {
            std::free(_reply->str);
        }
    }
    block_pool::deallocate(_reply, size);
}

}  // namespace orq::libs::core::redis::detail
