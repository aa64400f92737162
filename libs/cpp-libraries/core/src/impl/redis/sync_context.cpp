#include "sync_context.hpp"

#include "sigpipe_guard.hpp"

#include <core/exception.hpp>
#include <core/source_location.hpp>

#include <sys/time.h>

#include <cctype>
#include <cerrno>
#include <string>

namespace orq::libs::core::redis {

namespace {

constexpr std::chrono::milliseconds connect_timeout{1500};

timeval to_timeval(std::chrono::milliseconds _timeout) {
    return timeval{static_cast<time_t>(_timeout.count() / 1000),
                   static_cast<suseconds_t>(_timeout.count() % 1000 * 1000)};
}

bool same_word(boost::string_view _name, boost::string_view _upper) {
    if (_name.size() != _upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < _name.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(_name[i])) != _upper[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

void refuse_subscription(boost::string_view _name) {
    // Most names are shorter than the shortest of these.
    if (_name.size() < 7) {
        return;
    }
    for (const boost::string_view word :
         {"SUBSCRIBE", "PSUBSCRIBE", "SSUBSCRIBE", "UNSUBSCRIBE", "PUNSUBSCRIBE", "SUNSUBSCRIBE", "MONITOR"}) {
        if (same_word(_name, word)) {
            throw exception("Command: " + std::string(_name) +
                                ", error: subscriptions and MONITOR need a connection of their own, not the "
                                "context's shared ones",
                            ORQ_SOURCE_LOCATION);
        }
    }
}

sync_context::sync_context(events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip,
                           int _port, int _db)
    : m_events_loop(_events_loop), m_logger(_logger), m_ip(_ip), m_port(_port), m_db(_db) {
    connect();
}

void sync_context::connect() {
    m_context_ptr.reset();
    context_ptr context(redisConnectWithTimeout(m_ip.c_str(), m_port, to_timeval(connect_timeout)));
    if (!context) {
        m_reason = "can't allocate redis context";
        throw exception("Connection error: " + m_reason, ORQ_SOURCE_LOCATION);
    }
    if (context->err != 0) {
        m_reason = context->errstr;
        throw exception("Connection error: " + m_reason, ORQ_SOURCE_LOCATION);
    }
    const std::string db = std::to_string(m_db);
    std::vector<const char*> argv{"SELECT", db.c_str()};
    std::vector<std::size_t> argv_len{6, db.size()};
    std::string reason;
    if (redisSetTimeout(context.get(), to_timeval(connect_timeout)) != REDIS_OK) {
        m_reason = context->errstr;
        throw exception("Connection error: " + m_reason, ORQ_SOURCE_LOCATION);
    }
    redisReply* raw = exchange(context.get(), argv, argv_len, connect_timeout, reason);
    if (raw != nullptr) {
        reply selected(raw);
        if (selected.get_type() == reply_type::ERROR) {
            reason = selected.to_string();
        }
    }
    if (!reason.empty()) {
        m_reason = "Command: SELECT, error: " + reason;
        throw exception(m_reason, ORQ_SOURCE_LOCATION);
    }
    if (redisSetTimeout(context.get(), to_timeval(m_command_timeout)) != REDIS_OK) {
        m_reason = context->errstr;
        throw exception("Connection error: " + m_reason, ORQ_SOURCE_LOCATION);
    }
    m_context_ptr = std::move(context);
}

void sync_context::drop(const std::string& _reason) {
    m_context_ptr.reset();
    m_reason = _reason;
}

void sync_context::set_command_timeout(std::chrono::milliseconds _timeout) {
    m_command_timeout = _timeout;
    if (m_context_ptr) {
        redisSetTimeout(m_context_ptr.get(), to_timeval(m_command_timeout));
    }
}

void sync_context::set_lost_callback(std::function<void(const std::string&)> _callback) {
    m_lost_callback = std::move(_callback);
}

redisReply* sync_context::exchange(redisContext* _context, std::vector<const char*>& _argv,
                                   std::vector<std::size_t>& _argv_len, std::chrono::milliseconds _timeout,
                                   std::string& _reason) {
    redisReply* raw = nullptr;
    int error = 0;
    {
        const detail::sigpipe_guard no_sigpipe;
        raw = static_cast<redisReply*>(
            redisCommandArgv(_context, static_cast<int>(_argv.size()), _argv.data(), _argv_len.data()));
        error = errno;
    }
    if (raw == nullptr) {
        // An I/O failure; a read that the socket's time-out ended reports
        // EAGAIN.
        _reason = _context->err == REDIS_ERR_IO && (error == EAGAIN || error == EWOULDBLOCK)
                      ? "no reply within " + std::to_string(_timeout.count()) + " ms"
                      : std::string(_context->errstr);
    }
    return raw;
}

reply sync_context::run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len) {
    const auto name = [&] { return _argv.empty() ? std::string() : std::string(_argv[0], _argv_len[0]); };
    // No words would be sent as an empty request that the server never
    // answers: the call would block for good.
    if (_argv.empty() || _argv.size() != _argv_len.size()) {
        throw exception("Command: " + name() + ", error: no arguments", ORQ_SOURCE_LOCATION);
    }
    refuse_subscription(boost::string_view(_argv[0], _argv_len[0]));
    if (!m_context_ptr) {
        throw exception("Command: " + name() + ", error: " + m_reason, ORQ_SOURCE_LOCATION);
    }
    std::string reason;
    redisReply* raw = exchange(m_context_ptr.get(), _argv, _argv_len, m_command_timeout, reason);
    if (raw == nullptr) {
        // The connection is of no use any more (a late reply would answer
        // the next command): it is closed, and made again by the owner.
        drop(reason);
        if (m_lost_callback) {
            m_lost_callback(reason);
        }
        throw exception("Command: " + name() + ", error: " + reason, ORQ_SOURCE_LOCATION);
    }
    reply result(raw);
    if (result.get_type() == reply_type::ERROR) {
        throw exception("Command: " + name() + ", error: " + result.to_string(), ORQ_SOURCE_LOCATION);
    }
    return result;
}

}  // namespace orq::libs::core::redis
