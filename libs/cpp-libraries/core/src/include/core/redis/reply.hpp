#pragma once

#include <core/exception.hpp>
#include <core/redis/reply_type.hpp>
#include <core/source_location.hpp>
#include <core/stl.hpp>

#include <hiredis/hiredis.h>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <climits>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace orq::libs::core::redis {

// A non-owning view of one hiredis reply: a top-level reply or an element of
// an array. Valid only while the owning `reply` lives. Nothing here copies
// the reply's text except to_string().
class reply_array;

class reply_element {
public:
    explicit reply_element(const redisReply& _reply) : m_reply(_reply) {}
    reply_element(const reply_element&) = default;
    virtual ~reply_element() = default;

    reply_type get_type() const { return static_cast<reply_type>(m_reply.type); }

    // The text of a STRING, STATUS or ERROR reply (zero bytes included); empty
    // for every other type.
    boost::optional<boost::string_view> try_string_view() const {
        switch (get_type()) {
        case reply_type::STRING:
        case reply_type::STATUS:
        case reply_type::ERROR:
            return boost::string_view(m_reply.str, m_reply.len);
        default:
            return boost::none;
        }
    }

    boost::string_view as_string_view() const {
        const auto view = try_string_view();
        if (!view) {
            throw exception("Reply is not string, actual type: " + std::string(redis::to_string(get_type())),
                            ORQ_SOURCE_LOCATION);
        }
        return *view;
    }

    std::string to_string() const {
        const auto view = as_string_view();
        return std::string(view.data(), view.size());
    }

    // The integer of an INTEGER reply; any other type throws.
    long long to_long_long() const {
        if (get_type() != reply_type::INTEGER) {
            throw exception("Reply is not integer, actual type: " + std::string(redis::to_string(get_type())),
                            ORQ_SOURCE_LOCATION);
        }
        return m_reply.integer;
    }

    // The same, and a value that an int cannot hold throws too.
    int to_int() const {
        const long long value = to_long_long();
        if (value < INT_MIN || value > INT_MAX) {
            throw exception("Reply integer out of int range: " + std::to_string(value), ORQ_SOURCE_LOCATION);
        }
        return static_cast<int>(value);
    }

    inline reply_array as_array() const;

protected:
    const redisReply& m_reply;
};

// A non-owning view of the elements of an array reply.
class reply_array {
public:
    using callback = std::function<bool(const reply_element&)>;

    reply_array(redisReply** _data, std::size_t _size) : m_data(_data), m_size(_size) {}

    reply_element operator[](std::size_t _index) const {
        if (_index >= m_size) {
            throw exception("Index out of range", ORQ_SOURCE_LOCATION);
        }
        return reply_element(*m_data[_index]);
    }

    std::size_t size() const { return m_size; }

    // Each element in order until the callback returns false.
    iteration_result for_each_element(const callback& _callback) const {
        for (std::size_t i = 0; i < m_size; ++i) {
            if (!_callback(reply_element(*m_data[i]))) {
                return iteration_result::interrupted;
            }
        }
        return iteration_result::finished;
    }

private:
    redisReply** m_data;
    std::size_t m_size;
};

reply_array reply_element::as_array() const {
    if (get_type() != reply_type::ARRAY) {
        throw exception("Reply is not array, actual type: " + std::string(redis::to_string(get_type())),
                        ORQ_SOURCE_LOCATION);
    }
    return reply_array(m_reply.element, m_reply.elements);
}

namespace detail {
// Frees a reply tree, whether hiredis' own functions made it or the
// library's (which take their memory from a per-thread pool).
void free_reply(redisReply* _reply) noexcept;
}  // namespace detail

// Frees a hiredis reply with all its elements.
struct reply_deleter {
    void operator()(redisReply* _reply) const { detail::free_reply(_reply); }
};

// Owns one hiredis reply tree and views it. Moving keeps the heap object, so
// the view stays bound to it.
class reply : public reply_element {
public:
    // Takes ownership; a null pointer throws.
    explicit reply(redisReply* _reply) : reply_element(checked(_reply)), m_reply(_reply) {}
    reply(reply&&) = default;
    reply(const reply&) = delete;
    reply& operator=(const reply&) = delete;
    reply& operator=(reply&&) = delete;
    ~reply() override = default;

private:
    static const redisReply& checked(redisReply* _reply) {
        if (_reply == nullptr) {
            throw exception("No reply", ORQ_SOURCE_LOCATION);
        }
        return *_reply;
    }

    std::unique_ptr<redisReply, reply_deleter> m_reply;
};

}  // namespace orq::libs::core::redis
