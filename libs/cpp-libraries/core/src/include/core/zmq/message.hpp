#pragma once

#include <boost/utility/string_view.hpp>

#include <zmq.h>

#include <cstddef>
#include <iterator>
#include <string>
#include <type_traits>

namespace orq::libs::core::zmq {

// One ZeroMQ frame, owned. Movable, not copyable. A received frame also says
// whether more frames of the same message follow.
class message {
public:
    // An empty frame.
    message() noexcept;
    message(const void* _data, std::size_t _size);
    explicit message(boost::string_view _bytes);
    explicit message(const char* _text) : message(boost::string_view(_text)) {}
    explicit message(const std::string& _bytes) : message(boost::string_view(_bytes)) {}

    // Any contiguous range of byte-sized elements (vector<uint8_t>, array<char, N>, ...).
    template <typename Range,
              typename = std::enable_if_t<!std::is_convertible<const Range&, boost::string_view>::value &&
                                          sizeof(*std::data(std::declval<const Range&>())) == 1>,
              typename = decltype(std::size(std::declval<const Range&>()))>
    explicit message(const Range& _bytes) : message(std::data(_bytes), std::size(_bytes)) {}

    message(message&& _other) noexcept;
    message& operator=(message&& _other) noexcept;
    message(const message&) = delete;
    message& operator=(const message&) = delete;
    ~message();

    const void* data() const noexcept;
    void* data() noexcept;
    std::size_t size() const noexcept;
    // True when the frame was received and more frames of its message follow.
    bool more() const noexcept;

    // A view of the bytes, valid while the frame is neither changed nor destroyed.
    boost::string_view view() const noexcept { return boost::string_view(static_cast<const char*>(data()), size()); }
    std::string string() const { return std::string(view()); }

    // The underlying libzmq frame, for the socket layer.
    zmq_msg_t* handle() noexcept { return &m_message; }
    const zmq_msg_t* handle() const noexcept { return &m_message; }

private:
    zmq_msg_t m_message;
};

}  // namespace orq::libs::core::zmq
