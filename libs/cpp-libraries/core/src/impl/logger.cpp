#include <core/logger.hpp>

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace orq::libs::core {

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm " in UTC.
std::string date_part(std::int64_t _ms) {
    const std::time_t seconds = static_cast<std::time_t>(_ms / 1000);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char buffer[25];
    const auto length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &parts);
    char millis[16];
    std::snprintf(millis, sizeof millis, ".%03d ", static_cast<int>(_ms % 1000));
    return std::string(buffer, length) + millis;
}

}  // namespace

// ---------------------------------------------------------------- formatter

component_logger::formatter::formatter(const component_logger& _logger, int _log_level, boost::string_view _format)
    : m_log_level(_log_level), m_logger(_logger), m_format_text(_format) {
    try {
        m_format.emplace(std::string(_format.data(), _format.size()));
        // Mismatches are detected and reported by this class, never thrown.
        m_format->exceptions(boost::io::no_error_bits);
    } catch (...) {
        m_broken = true;  // a malformed format string
    }
}

component_logger::formatter& component_logger::formatter::location(const source_location& _location) {
    m_source_location = _location;
    return *this;
}

component_logger::formatter& component_logger::formatter::function(const source_location& _location) {
    m_function = _location.function();
    return *this;
}

component_logger::formatter& component_logger::formatter::short_function(const source_location& _location) {
    m_function = _location.short_function();
    return *this;
}

component_logger::formatter& component_logger::formatter::date_time(const timestamp& _timestamp) {
    m_timestamp = _timestamp;
    return *this;
}

std::string component_logger::formatter::message() const {
    if (!m_broken && m_format && m_format->fed_args() == m_format->expected_args()) {
        return m_format->str();
    }
    // A statement whose arguments do not fit its format string still leaves a
    // line: the format text and every argument given, marked as a mismatch.
    std::string text = "[log format mismatch] \"";
    text.append(m_format_text.data(), m_format_text.size());
    text += "\" arguments:";
    if (m_arguments.empty()) {
        text += " none";
    }
    for (const auto& argument : m_arguments) {
        text += " \"" + argument + "\"";
    }
    return text;
}

component_logger::formatter::~formatter() {
    try {
        std::string location_part;
        if (m_source_location) {
            const auto file = m_source_location->remove_directory_prefix(m_source_location->file());
            location_part.append(file.data(), file.size());
            location_part += ':' + std::to_string(m_source_location->line()) + ' ';
        }
        if (!m_function.empty()) {
            location_part.append(m_function.data(), m_function.size());
            location_part += ": ";
        }
        m_logger.write(m_log_level, location_part, message(), m_timestamp);
    } catch (...) {
        // A log statement never ends the process (the only failure here is
        // memory exhaustion while building the line).
    }
}

// ---------------------------------------------------------- component_logger

component_logger::component_logger(const logger& _logger, const std::string& _module_name,
                                   const std::string& _component_name)
    : m_logger(_logger), m_module_name(_module_name), m_zmq_prefix("&" + _module_name + ":" + _component_name + " ") {}

component_logger::~component_logger() = default;

component_logger::ptr component_logger::component(const std::string& _name) const {
    return std::make_unique<component_logger>(m_logger, m_module_name, _name);
}

std::string component_logger::make_indent() const {
    const int depth = m_indent.load();
    if (depth <= 0) {
        return {};
    }
    return std::string(static_cast<std::size_t>(depth) * 4, ' ') + "| ";
}

void component_logger::write(int _level, const std::string& _location_part, const std::string& _message,
                             const boost::optional<timestamp>& _timestamp) const {
    const bool debug = m_logger.is_debug();
    const bool to_socket = m_logger.is_writing_to_socket();
    std::string dated;
    if (debug || to_socket) {
        const auto ms = (_timestamp ? *_timestamp : timestamp::now()).milliseconds_since_epoch();
        dated = date_part(ms) + make_indent() + _location_part + _message;
    }
    m_logger.write_syslog(_level, debug ? dated : _location_part + _message);
    if (to_socket) {
        m_logger.write_socket(m_zmq_prefix + dated);
    }
}

component_logger::indent_guard component_logger::enter(const std::string& _line) const {
    debug("%1%") % _line;
    ++m_indent;
    return make_scope_guard([this] { --m_indent; });
}

component_logger::indent_guard component_logger::enter_function(const source_location& _location) const {
    return enter(std::string(_location.function()));
}

component_logger::indent_guard component_logger::enter_function_short(const source_location& _location,
                                                                      boost::string_view _name) const {
    return enter(std::string(_location.short_function()) + ": " + std::string(_name));
}

component_logger::indent_guard component_logger::enter_scope(const source_location& _location) const {
    return enter(std::string(_location.short_file()) + ":" + std::to_string(_location.line()));
}

component_logger::indent_guard component_logger::enter_scope(boost::string_view _name) const {
    return enter(std::string(_name));
}

component_logger::indent_guard component_logger::enter_scope(const source_location& _location,
                                                             boost::string_view _name) const {
    return enter(std::string(_location.short_file()) + ":" + std::to_string(_location.line()) + " (" +
                 std::string(_name) + ")");
}

void component_logger::log_exception() const {
    if (m_logger.is_logger_enabled()) {
        error("%1%") % exception_to_string();
    }
}

void component_logger::log_exception(const source_location& _location) const {
    error("Caught exeption").location(_location);
    log_exception();
}

void component_logger::log_exception(const located_exception& _exception) const {
    if (m_logger.is_logger_enabled()) {
        error("%1%") % exception_to_string(_exception);
    }
}

void component_logger::log_error(const boost::system::error_code& _error, const source_location& _location) const {
    if (m_logger.is_logger_enabled()) {
        error("%1%:%2%: %3%") % _location.short_file() % _location.line() % _error.message();
    }
}

// -------------------------------------------------------------------- logger

logger::logger(const std::string& _module_name, const std::string& _component_name)
    : component_logger(*this, _module_name, _component_name),
      m_module_name(_module_name),
      m_zmq_context(),
      m_debug_socket(m_zmq_context, ::zmq::socket_type::push) {
    m_debug_socket.set(::zmq::sockopt::linger, 5000);
    // syslog keeps the identity pointer: m_module_name lives as long as we do.
    ::openlog(m_module_name.c_str(), 0, LOG_USER);
    set_debug(m_debug);
    info("Starting %1%") % m_module_name;
}

logger::~logger() {
    ::closelog();
    // The socket and then the context close as members; the context waits up
    // to the linger time for lines still queued.
}

void logger::set_debug(bool _debug) {
    ::closelog();
    ::openlog(m_module_name.c_str(), _debug ? LOG_PERROR : 0, LOG_USER);
    ::setlogmask(_debug ? 0xff : 0x7f);
    m_debug = _debug;
}

void logger::connect(std::string _address) {
    {
        std::lock_guard<std::mutex> lock(m_socket_mutex);
        m_debug_socket.connect(_address);
    }
    debug("Connected to socket");
}

void logger::write_syslog(int _level, const std::string& _text) const {
    ::syslog(_level, "%s", _text.c_str());
}

void logger::write_socket(const std::string& _frame) const {
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(m_socket_mutex);
        if (::zmq_send(m_debug_socket.handle(), _frame.data(), _frame.size(), ZMQ_DONTWAIT) < 0) {
            error = ::zmq_errno();
        }
    }
    if (error == 0) {
        m_send_failure_reported = false;
    } else if (error != EAGAIN && !m_send_failure_reported.exchange(true)) {
        // Reported straight to syslog: going through a statement would try the
        // failing socket again. Lines keep reaching syslog meanwhile.
        ::syslog(LOG_ERR, "debug channel: send failed: %s (further failures are not reported until a send succeeds)",
                 ::zmq_strerror(error));
    }
}

}  // namespace orq::libs::core
