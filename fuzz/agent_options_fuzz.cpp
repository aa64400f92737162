// Builds the agent's configuration in-process from a command line and one
// configuration file, both taken from the input. The failures the agent
// expects (the usage text, no broker address, a file that cannot be parsed, a
// subscription that is not a string) are caught; anything else fails.
//
// Input: one argument per line up to the first empty line, the rest is the
// content of the configuration file. Every "@" in an argument is replaced by
// that file's path, so "-c" followed by "@" reads it. Arguments that name
// other paths ('/') are not tried, so the input can never name a device.

#include "config.hpp"

#include <core/exception.hpp>
#include <core/logger.hpp>

#include <boost/none.hpp>
#include <boost/optional/bad_optional_access.hpp>

#include <getopt.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string no_address_message =
    "Broker output address must be defined either on the command line or in the configuration file";

[[noreturn]] void fail(const std::string& _what) {
    std::fprintf(stderr, "agent options: %s\n", _what.c_str());
    std::abort();
}

orq::libs::core::logger& quiet_logger() {
    static orq::libs::core::logger* instance = [] {
        auto* created = new orq::libs::core::logger("vusk-debug-agent-fuzz", "config");
        // Nothing reaches syslog or the debug socket: -h and -c log on every
        // run.
        created->set_writing_to_socket(false);
        ::setlogmask(LOG_MASK(LOG_EMERG));
        return created;
    }();
    return *instance;
}

const std::string& config_path() {
    static const std::string path = [] {
        const char* directory = std::getenv("TMPDIR");
        std::string pattern =
            std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") + "/agent_options_fuzz.XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0) {
            fail("cannot create the configuration file");
        }
        ::close(fd);
        return pattern;
    }();
    return path;
}

struct snapshot {
    boost::optional<std::string> pidfile_path, template_name, debug_port, output_file;
    boost::optional<bool> local_debug;
    std::string output_address;
    std::set<std::string> subscriptions;

    explicit snapshot(const orq::config& _config)
        : pidfile_path(_config.system.pidfile_path),
          template_name(_config.system.template_name),
          debug_port(_config.system.debug_port),
          output_file(_config.broker.output_file),
          local_debug(_config.system.local_debug),
          output_address(_config.broker.output_address),
          subscriptions(_config.broker.subscriptions) {}

    bool operator==(const snapshot& _other) const {
        return pidfile_path == _other.pidfile_path && template_name == _other.template_name &&
               debug_port == _other.debug_port && output_file == _other.output_file &&
               local_debug == _other.local_debug && output_address == _other.output_address &&
               subscriptions == _other.subscriptions;
    }
};

// The exceptions that building the configuration may throw, each with the
// text it must carry.
template <typename Callable>
bool expect_known_failures(Callable&& _callable) {
    try {
        _callable();
        return true;
    } catch (const orq::libs::core::exception& e) {
        if (e.get_string_error() != orq::config::m_usage_string && e.get_string_error() != no_address_message) {
            fail("unexpected message: " + e.get_string_error());
        }
    } catch (const boost::bad_optional_access&) {
        // A subscription that is not a string.
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).rfind("Cannot parse json: ", 0) != 0) {
            fail(std::string("unexpected runtime error: ") + e.what());
        }
    } catch (const std::exception& e) {
        fail(std::string("unexpected exception: ") + e.what());
    } catch (...) {
        fail("unexpected exception that is not a std::exception");
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    const std::string input(reinterpret_cast<const char*>(_data), _size);
    const std::size_t end_of_arguments = input.rfind("\n", 0) == 0 ? 0 : input.find("\n\n");
    const std::string arguments = input.substr(0, end_of_arguments);
    const std::string content = end_of_arguments == std::string::npos
                                    ? std::string()
                                    : input.substr(end_of_arguments + (end_of_arguments == 0 ? 1 : 2));

    std::vector<std::string> storage{"vusk-debug-agent"};
    if (!arguments.empty()) {
        std::istringstream lines(arguments);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find('/') != std::string::npos || line.find('\0') != std::string::npos) {
                return -1;
            }
            std::string argument;
            for (const char c : line) {
                if (c == '@') {
                    argument += config_path();
                } else {
                    argument += c;
                }
            }
            storage.push_back(std::move(argument));
        }
    }
    std::vector<char*> argv;
    for (auto& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    {
        std::ofstream file(config_path(), std::ios::binary | std::ios::trunc);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!file) {
            fail("cannot write the configuration file");
        }
    }

    auto& log = quiet_logger();
    // getopt's own diagnostics would flood the output.
    opterr = 0;
    std::unique_ptr<orq::config> built;
    if (!expect_known_failures(
            [&] { built = std::make_unique<orq::config>(static_cast<int>(storage.size()), argv.data(), log); })) {
        return 0;
    }
    if (built->broker.output_address.empty()) {
        fail("built without a broker output address");
    }

    // Merging a document either takes all of it or, when it throws, nothing.
    const snapshot before(*built);
    std::istringstream again(content);
    if (!expect_known_failures([&] { built->from_stream(again); })) {
        if (!(snapshot(*built) == before)) {
            fail("a document that failed to merge changed the configuration");
        }
    }
    return 0;
}
