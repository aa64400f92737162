#include "http_server.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace orq::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using asio::ip::tcp;

std::optional<std::string> http_request_record::header(const std::string& _name) const {
    const auto same = [](const std::string& _a, const std::string& _b) {
        return _a.size() == _b.size() && std::equal(_a.begin(), _a.end(), _b.begin(), [](char _x, char _y) {
                   return std::tolower(static_cast<unsigned char>(_x)) == std::tolower(static_cast<unsigned char>(_y));
               });
    };
    for (const auto& [name, value] : headers) {
        if (same(name, _name)) {
            return value;
        }
    }
    return std::nullopt;
}

struct http_server::state {
    handler m_handler;
    bool m_record = true;
    asio::io_context m_io_context;
    tcp::acceptor m_acceptor{m_io_context};
    std::vector<std::thread> m_threads;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<http_request_record> m_requests;
    std::size_t m_request_count = 0;
    int m_connections = 0;
    std::size_t m_replies = 0;
    // Timers of the held replies; touched on the server thread only.
    std::vector<std::weak_ptr<asio::steady_timer>> m_held;

    void accept();
};

namespace {

// One accepted connection: read a request, answer it (after the reply's
// delay), and read the next one while the client keeps the connection alive.
class session : public std::enable_shared_from_this<session> {
public:
    session(http_server::state& _server, tcp::socket _socket, int _id)
        : m_server(_server),
          m_socket(std::move(_socket)),
          m_timer(std::make_shared<asio::steady_timer>(m_socket.get_executor())),
          m_id(_id) {}

    void read() {
        m_parser.emplace();
        // Beast's default of 1 MiB would refuse the large bodies some tests send.
        m_parser->body_limit(body_limit);
        bhttp::async_read(m_socket, m_buffer, *m_parser,
                          [self = shared_from_this()](beast::error_code _error, std::size_t) {
                              if (!_error) {
                                  self->m_request = self->m_parser->release();
                                  self->answer();
                              }
                          });
    }

private:
    void answer();
    void write();

    http_server::state& m_server;
    tcp::socket m_socket;
    std::shared_ptr<asio::steady_timer> m_timer;
    int m_id;
    static constexpr std::uint64_t body_limit = 64 * 1024 * 1024;

    beast::flat_buffer m_buffer;
    std::optional<bhttp::request_parser<bhttp::string_body>> m_parser;
    bhttp::request<bhttp::string_body> m_request;
    bhttp::response<bhttp::string_body> m_response;
};

}  // namespace

void http_server::state::accept() {
    m_acceptor.async_accept([this](beast::error_code _error, tcp::socket _socket) {
        if (_error) {
            return;  // closed by the destructor
        }
        int id = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            id = ++m_connections;
        }
        m_changed.notify_all();
        std::make_shared<session>(*this, std::move(_socket), id)->read();
        accept();
    });
}

void session::answer() {
    http_request_record record;
    record.method = std::string(m_request.method_string());
    record.target = std::string(m_request.target());
    for (const auto& field : m_request) {
        record.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    record.body = m_request.body();
    record.connection = m_id;

    http_reply reply;
    if (m_server.m_handler) {
        reply = m_server.m_handler(record);
    } else {
        reply.body = "ok";
    }
    m_response = {};
    m_response.version(11);
    m_response.result(static_cast<unsigned>(reply.status));
    for (const auto& [name, value] : reply.headers) {
        m_response.set(name, value);
    }
    m_response.body() = reply.body;
    m_response.keep_alive(m_request.keep_alive());
    m_response.prepare_payload();
    {
        std::lock_guard<std::mutex> lock(m_server.m_mutex);
        ++m_server.m_request_count;
        if (m_server.m_record) {
            m_server.m_requests.push_back(std::move(record));
        }
    }
    m_server.m_changed.notify_all();

    if (reply.hold) {
        // Cancelled by release_held(), which is what lets the reply go.
        m_timer->expires_at(asio::steady_timer::time_point::max());
        m_server.m_held.push_back(m_timer);
        m_timer->async_wait([self = shared_from_this()](beast::error_code) { self->write(); });
    } else if (reply.delay.count() > 0) {
        m_timer->expires_after(reply.delay);
        m_timer->async_wait([self = shared_from_this()](beast::error_code _error) {
            if (!_error) {
                self->write();
            }
        });
    } else {
        write();
    }
}

void session::write() {
    bhttp::async_write(m_socket, m_response, [self = shared_from_this()](beast::error_code _error, std::size_t) {
        if (_error) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(self->m_server.m_mutex);
            ++self->m_server.m_replies;
        }
        self->m_server.m_changed.notify_all();
        if (self->m_response.keep_alive()) {
            self->read();
        } else {
            beast::error_code ignored;
            self->m_socket.shutdown(tcp::socket::shutdown_send, ignored);
        }
    });
}

http_server::http_server(handler _handler, int _threads, bool _record) : m_state(std::make_shared<state>()) {
    m_state->m_handler = std::move(_handler);
    m_state->m_record = _record;
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
    m_state->m_acceptor.open(endpoint.protocol());
    m_state->m_acceptor.bind(endpoint);
    m_state->m_acceptor.listen();
    m_state->accept();
    for (int i = 0; i < std::max(_threads, 1); ++i) {
        m_state->m_threads.emplace_back([state = m_state.get()] { state->m_io_context.run(); });
    }
}

http_server::~http_server() {
    m_state->m_io_context.stop();
    for (auto& thread : m_state->m_threads) {
        thread.join();
    }
    // The io_context goes with the state and takes the sessions' pending
    // operations (and so the sessions) with it.
}

void http_server::release_held() {
    asio::post(m_state->m_io_context, [state = m_state.get()] {
        for (const auto& held : state->m_held) {
            if (const auto timer = held.lock()) {
                timer->cancel();
            }
        }
        state->m_held.clear();
    });
}

int http_server::port() const {
    return m_state->m_acceptor.local_endpoint().port();
}

std::string http_server::base_url() const {
    return "http://127.0.0.1:" + std::to_string(port());
}

std::vector<http_request_record> http_server::requests() const {
    std::lock_guard<std::mutex> lock(m_state->m_mutex);
    return m_state->m_requests;
}

std::size_t http_server::request_count() const {
    std::lock_guard<std::mutex> lock(m_state->m_mutex);
    return m_state->m_request_count;
}

int http_server::connection_count() const {
    std::lock_guard<std::mutex> lock(m_state->m_mutex);
    return m_state->m_connections;
}

std::size_t http_server::replies_sent() const {
    std::lock_guard<std::mutex> lock(m_state->m_mutex);
    return m_state->m_replies;
}

bool http_server::wait_for_requests(std::size_t _count, std::chrono::milliseconds _timeout) const {
    std::unique_lock<std::mutex> lock(m_state->m_mutex);
    return m_state->m_changed.wait_for(lock, _timeout, [&] { return m_state->m_request_count >= _count; });
}

}  // namespace orq::test
