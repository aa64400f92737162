#include "config.hpp"

#include <config_parser/config.hpp>
#include <core/exception.hpp>
#include <core/source_location.hpp>

#include <getopt.h>
#include <unistd.h>

#include <fstream>
#include <utility>

namespace orq {

const std::string config::m_usage_string = R"text(
        Usage:
        [-d] - broker debug port (example: "tcp://localhost:7700")
        [-l] - local debug (flag without value)
        [-a] - broker output address (example: "tcp://localhost:7701")
        [-s] - subscriptions (there may be several values; example: "&vusk-data-adapter")
        [-f] - output file (example: "/tmp/broker.log")
        [-c] - config file (example: "/etc/config.json")
        [-h] - show this message"

        Examples:
            vusk-debug-agent -a tcp://localhost:7001

            # Assume 'tcp://localhost' when scheme and host is not specified
            vusk-debug-agent -a 7001
    )text";

const std::string config::m_help_string = R"text(
        Run as a service:
        To run this application as a service you should perform the following steps:
        1. Choose a new name for the service instance
           to display the names already used, run the following command:
           $ find /etc/vusk/custom/ -name 'vusk-debug-agent@*' | sed -e 's|/etc/vusk/custom/vusk-debug-agent@\(.*\).json|\1|g'
        2. Create a new configuration file for the new instance:
           $ sudo su vusk -c 'touch /etc/vusk/custom/vusk-debug-agent@__NAME__.json'
           where __NAME__ is the name from [1]
           with the following content:
             {
               "broker":
               {
                 "output_address": "tcp://localhost:7701",
                 "subscriptions":
                 [
                   "&vusk"
                 ]
               }
             }
        3. Start the service
           $ sudo systemctl start 'vusk-debug-agent@__NAME__'
        4. (Optional) Add the service instance to the server startup
           $ sudo systemctl enable 'vusk-debug-agent@__NAME__'

        List all service instances:
        $ sudo systemctl status 'vusk-debug-agent@*' --all

        Stop/disable all running service instances:
        $ sudo systemctl stop 'vusk-debug-agent@*' --all
        $ sudo systemctl disable 'vusk-debug-agent@*' --all

        Remove unit in the case it stays in the list in failed state:
        $ sudo systemctl reset-failed vusk-debug-agent@debug_port.service

        List all created configuration files for the service
        $ find /etc/vusk/custom/ -name 'vusk-debug-agent@*'
    )text";

namespace {

// The texts are logged as a format string: a literal percent sign must be
// doubled so that the formatter prints it instead of reading a placeholder.
std::string as_format(const std::string& _text) {
    std::string format;
    format.reserve(_text.size());
    for (const char c : _text) {
        format += c;
        if (c == '%') {
            format += '%';
        }
    }
    return format;
}

}  // namespace

config::config(int _argc, char** _argv, libs::core::logger& _logger) : m_logger(_logger) {
    // getopt keeps its position in globals; 0 makes glibc start over
    // completely, so that every construction parses its own argument vector.
    optind = 0;
    int option = 0;
    while ((option = ::getopt(_argc, _argv, "d:la:s:f:c:h")) != -1) {
        switch (option) {
        case 'd':
            system.debug_port = std::string(optarg);
            break;
        case 'l':
            system.local_debug = true;
            break;
        case 'a':
            broker.output_address = optarg;
            break;
        case 's':
            broker.subscriptions.insert(optarg);
            break;
        case 'f':
            broker.output_file = std::string(optarg);
            break;
        case 'c': {
            const std::string path = optarg;
            // The parse error does not say which file it was: this line does,
            // and the error stays the only error line of a failed start.
            m_logger.info("Reading the configuration file %1%") % path;
            std::ifstream file(path);
            from_stream(file);
            break;
        }
        case 'h':
            m_logger.info(as_format(m_usage_string + m_help_string));
            break;
        default:
            // getopt has already printed its own diagnostic on stderr.
            throw libs::core::exception(m_usage_string, ORQ_SOURCE_LOCATION);
        }
    }

    if (broker.output_address.empty()) {
        throw libs::core::exception(
            "Broker output address must be defined either on the command line or in the configuration file",
            ORQ_SOURCE_LOCATION);
    }
}

void config::from_stream(std::istream& _stream) {
    namespace lc = libs::config;
    const auto document = lc::config::create<lc::type::json>(_stream);

    // Merged into copies and stored at the end, so that a document that
    // throws half-way leaves the record as it was.
    auto merged_system = system;
    auto merged_broker = broker;

    // Only files set these, and each file sets or clears them: the last file
    // decides.
    merged_system.pidfile_path = document->get_by_path<std::string>({"system", "pidfile_path"}).try_get();
    merged_system.template_name = document->get_by_path<std::string>({"system", "template_name"}).try_get();

    // The command line and earlier files take precedence over this file.
    if (!merged_system.debug_port) {
        merged_system.debug_port = document->get_by_path<std::string>({"system", "debug_port"}).try_get();
    }
    if (!merged_system.local_debug) {
        merged_system.local_debug = document->get_by_path<bool>({"system", "local_debug"}).try_get();
    }
    if (merged_broker.output_address.empty()) {
        if (auto address = document->get_by_path<std::string>({"broker", "output_address"}).try_get()) {
            merged_broker.output_address = std::move(*address);
        }
    }
    if (auto subscriptions = document->get_by_path<lc::array>({"broker", "subscriptions"}).try_get()) {
        for (const auto& topic : *subscriptions) {
            // An element that is not a string throws boost::bad_optional_access.
            merged_broker.subscriptions.insert(topic.as_string().value());
        }
    }
    if (!merged_broker.output_file) {
        merged_broker.output_file = document->get_by_path<std::string>({"broker", "output_file"}).try_get();
    }

    system = std::move(merged_system);
    broker = std::move(merged_broker);
}

}  // namespace orq
