#include <core/zmq/message.hpp>

#include "error.hpp"

#include <cstring>

namespace orq::libs::core::zmq {

message::message() noexcept {
    ::zmq_msg_init(&m_message);
}

message::message(const void* _data, std::size_t _size) {
    if (::zmq_msg_init_size(&m_message, _size) != 0) {
        detail::throw_error(::zmq_errno(), "zmq_msg_init_size");
    }
    if (_size != 0) {
        std::memcpy(::zmq_msg_data(&m_message), _data, _size);
    }
}

message::message(boost::string_view _bytes) : message(_bytes.data(), _bytes.size()) {}

message::message(message&& _other) noexcept {
    ::zmq_msg_init(&m_message);
    ::zmq_msg_move(&m_message, &_other.m_message);
}

message& message::operator=(message&& _other) noexcept {
    if (this != &_other) {
        // zmq_msg_move releases what the target held.
        ::zmq_msg_move(&m_message, &_other.m_message);
    }
    return *this;
}

message::~message() {
    ::zmq_msg_close(&m_message);
}

const void* message::data() const noexcept {
    return ::zmq_msg_data(const_cast<zmq_msg_t*>(&m_message));
}

void* message::data() noexcept {
    return ::zmq_msg_data(&m_message);
}

std::size_t message::size() const noexcept {
    return ::zmq_msg_size(&m_message);
}

bool message::more() const noexcept {
    return ::zmq_msg_more(&m_message) != 0;
}

}  // namespace orq::libs::core::zmq
