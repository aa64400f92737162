#pragma once

#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>
#include <core/timestamp.hpp>

#include <boost/format.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <zmq.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace orq::libs::core {

class logger;

// Front end of the process logger for one component. Each line goes to syslog
// and to the debug channel with the topic "&<module>:<component> ".
// A statement is one expression: logger.info("a %1% b") % x; the line is written
// when the temporary formatter is destroyed at the end of the statement.
class component_logger {
public:
    using ptr = std::unique_ptr<component_logger>;
    using indent_guard = scope_guard;

    // One log statement under construction.
    class formatter {
    public:
        formatter(const component_logger& _logger, int _log_level, boost::string_view _format);
        formatter(formatter&&) = delete;
        formatter(const formatter&) = delete;
        formatter& operator=(const formatter&) = delete;
        ~formatter();

        template <typename T>
        formatter& operator%(const T& _argument) {
            try {
                std::ostringstream os;
                os << _argument;
                m_arguments.push_back(os.str());
                if (m_format && !m_broken && m_format->fed_args() < m_format->expected_args()) {
                    *m_format % _argument;
                } else {
                    m_broken = true;
                }
            } catch (...) {
                m_broken = true;
            }
            return *this;
        }

        formatter& location(const source_location& _location);
        formatter& function(const source_location& _location);
        formatter& short_function(const source_location& _location);
        formatter& date_time(const timestamp& _timestamp);

    private:
        std::string message() const;

        boost::optional<boost::format> m_format;
        int m_log_level;
        const component_logger& m_logger;
        boost::optional<source_location> m_source_location;
        boost::string_view m_function;
        boost::optional<timestamp> m_timestamp;
        boost::string_view m_format_text;
        std::vector<std::string> m_arguments;
        bool m_broken = false;
    };

    component_logger(const logger& _logger, const std::string& _module_name, const std::string& _component_name);
    virtual ~component_logger();
    component_logger(const component_logger&) = delete;
    component_logger& operator=(const component_logger&) = delete;

    formatter debug(boost::string_view _format) const { return formatter(*this, 7, _format); }
    formatter info(boost::string_view _format) const { return formatter(*this, 6, _format); }
    formatter warning(boost::string_view _format) const { return formatter(*this, 4, _format); }
    formatter error(boost::string_view _format) const { return formatter(*this, 3, _format); }

    // A new component logger on the same process logger and module.
    ptr component(const std::string& _name) const;

    // Each logs one debug line at the current depth and indents the lines that
    // follow by one level until the returned guard is destroyed.
    indent_guard enter_function(const source_location& _location) const;
    indent_guard enter_function_short(const source_location& _location, boost::string_view _name) const;
    indent_guard enter_scope(const source_location& _location) const;
    indent_guard enter_scope(boost::string_view _name) const;
    indent_guard enter_scope(const source_location& _location, boost::string_view _name) const;

    // The exception being handled (call only inside a handler).
    void log_exception() const;
    // "Caught exeption" at the location, then the exception being handled.
    void log_exception(const source_location& _location) const;
    void log_exception(const located_exception& _exception) const;
    void log_error(const boost::system::error_code& _error, const source_location& _location) const;

    // Runs the callable; logs whatever it throws and returns false in that case.
    template <typename Callable>
    bool execute(Callable&& _callable) const {
        try {
            std::forward<Callable>(_callable)();
            return true;
        } catch (...) {
            log_exception();
            return false;
        }
    }

    std::string make_indent() const;

private:
    friend class formatter;
    void write(int _level, const std::string& _location_part, const std::string& _message,
               const boost::optional<timestamp>& _timestamp) const;
    indent_guard enter(const std::string& _line) const;

    mutable std::atomic<int> m_indent{0};
    const logger& m_logger;
    std::string m_module_name;
    std::string m_zmq_prefix;
};

// The process logger: owns the sinks (syslog identity = module name, facility
// user; the ZeroMQ PUSH debug socket) and the debug flag. It is also the
// component logger of its own component name.
class logger : public component_logger {
public:
    logger(const std::string& _module_name, const std::string& _component_name);
    ~logger() override;

    bool is_debug() const { return m_debug; }
    // Debug mode: syslog passes debug lines too and copies every line to stderr.
    void set_debug(bool _debug);
    bool is_writing_to_socket() const { return m_writing_to_socket; }
    void set_writing_to_socket(bool _writing) { m_writing_to_socket = _writing; }
    bool is_logger_enabled() const { return m_enable_logger; }

    // Connects the debug socket to a ZeroMQ endpoint; throws zmq::error_t.
    void connect(std::string _address);

private:
    friend class component_logger;
    void write_syslog(int _level, const std::string& _text) const;
    void write_socket(const std::string& _frame) const;

    std::string m_module_name;
    std::atomic<bool> m_debug{false};
    std::atomic<bool> m_writing_to_socket{true};
    bool m_enable_logger = true;
    ::zmq::context_t m_zmq_context;
    mutable std::mutex m_socket_mutex;
    mutable ::zmq::socket_t m_debug_socket;
    // Set after a send failure other than EAGAIN has been reported, so that a
    // lasting fault is reported once and not once per line.
    mutable std::atomic<bool> m_send_failure_reported{false};
};

}  // namespace orq::libs::core
