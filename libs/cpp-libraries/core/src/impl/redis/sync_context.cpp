#include "sync_context.hpp"

#include "sigpipe_guard.hpp"

#include <core/exception.hpp>
#include <core/source_location.hpp>

#include <sys/time.h>

#include <string>

namespace orq::libs::core::redis {

sync_context::sync_context(events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip,
                           int _port, int _db)
    : m_events_loop(_events_loop), m_logger(_logger) {
    const timeval timeout{1, 500000};
    m_context_ptr.reset(redisConnectWithTimeout(std::string(_ip).c_str(), _port, timeout));
    if (!m_context_ptr) {
        throw exception("Connection error: can't allocate redis context", ORQ_SOURCE_LOCATION);
    }
    if (m_context_ptr->err != 0) {
        throw exception(std::string("Connection error: ") + m_context_ptr->errstr, ORQ_SOURCE_LOCATION);
    }
    const std::string db = std::to_string(_db);
    std::vector<const char*> argv{"SELECT", db.c_str()};
    std::vector<std::size_t> argv_len{6, db.size()};
    run_command(argv, argv_len);
}

reply sync_context::run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len) {
    const auto name = [&] { return _argv.empty() ? std::string() : std::string(_argv[0], _argv_len[0]); };
    // No words would be sent as an empty request that the server never
    // answers: the call would block for good.
    if (_argv.empty() || _argv.size() != _argv_len.size()) {
        throw exception("Command: " + name() + ", error: no arguments", ORQ_SOURCE_LOCATION);
    }
    redisReply* raw = nullptr;
    {
        const detail::sigpipe_guard no_sigpipe;
        raw = static_cast<redisReply*>(
            redisCommandArgv(m_context_ptr.get(), static_cast<int>(_argv.size()), _argv.data(), _argv_len.data()));
    }
    if (raw == nullptr) {
        // An I/O failure: hiredis keeps the reason on the connection, and
        // every later command on it fails the same way.
        throw exception("Command: " + name() + ", error: " + m_context_ptr->errstr, ORQ_SOURCE_LOCATION);
    }
    reply result(raw);
    if (result.get_type() == reply_type::ERROR) {
        throw exception("Command: " + name() + ", error: " + result.to_string(), ORQ_SOURCE_LOCATION);
    }
    return result;
}

}  // namespace orq::libs::core::redis
