#pragma once

#include <core/logger.hpp>

#include <boost/optional.hpp>

#include <istream>
#include <set>
#include <string>

namespace orq {

// The agent's whole configuration, built once from the command line and the
// JSON files that -c options name, read-only afterwards.
//
// Precedence: for debug_port, local_debug, output_address and output_file the
// command line wins over files (an option before -c blocks the file's value,
// an option after -c replaces it) and the first file that sets a field wins
// over later files; pidfile_path and template_name come only from files, the
// last -c file deciding; subscriptions are the union of all sources.
struct config {
    struct {
        boost::optional<std::string> pidfile_path;
        boost::optional<std::string> template_name;
        boost::optional<std::string> debug_port;
        boost::optional<bool> local_debug;
    } system;

    struct {
        // Empty means not set; a bare port is allowed.
        std::string output_address;
        // Topics to subscribe to, in ascending order; empty means everything.
        std::set<std::string> subscriptions;
        // Standard output when not set.
        boost::optional<std::string> output_file;
    } broker;

    libs::core::logger& m_logger;

    static const std::string m_usage_string;
    static const std::string m_help_string;

    // Parses the options "d:la:s:f:c:h" in the order given, reading each -c
    // file at its place among them. Throws orq::libs::core::exception with the
    // usage text for an unknown option or a missing argument, and when no
    // broker output address was given; a -c file that cannot be read or
    // parsed throws std::runtime_error "Cannot parse json: ...".
    // Uses the C library's getopt, whose state is process-wide: not to be
    // constructed on two threads at once.
    config(int _argc, char** _argv, libs::core::logger& _logger);

    // Merges one JSON document into the record (see the precedence above).
    // Either the whole document is merged or, when it throws, nothing.
    void from_stream(std::istream& _stream);
};

}  // namespace orq
