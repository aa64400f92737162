// The agent's configuration built from real command lines and real files:
// option handling, the precedence between options and -c files, and every
// way a command line or a file can be rejected.

#include "config.hpp"

#include "syslog_listener.hpp"
#include "test_support.hpp"

#include <core/exception.hpp>
#include <core/logger.hpp>

#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using orq::libs::core::logger;

namespace {

const std::string no_address_message =
    "Broker output address must be defined either on the command line or in the configuration file";

// Builds the configuration from the arguments (the program name is added),
// with argv in writable storage as getopt expects.
class command_line {
public:
    command_line(std::initializer_list<std::string> _args) : m_storage{"vusk-debug-agent"} {
        m_storage.insert(m_storage.end(), _args);
        for (auto& arg : m_storage) {
            m_argv.push_back(arg.data());
        }
        m_argv.push_back(nullptr);
    }
    std::unique_ptr<orq::config> build(logger& _logger) {
        return std::make_unique<orq::config>(static_cast<int>(m_argv.size() - 1), m_argv.data(), _logger);
    }

private:
    std::vector<std::string> m_storage;
    std::vector<char*> m_argv;
};

class config_test : public ::testing::Test {
protected:
    std::unique_ptr<orq::config> build(std::initializer_list<std::string> _args) {
        return command_line(_args).build(m_logger);
    }
    // A file in the test's directory with the given content.
    std::string file(const std::string& _name, const std::string& _content) {
        const auto path = m_dir.file(_name);
        orq::test::write_file(path, _content);
        return path;
    }
    // The text of the library exception thrown by the construction, or a
    // marker when nothing or something else was thrown.
    std::string orq_error(std::initializer_list<std::string> _args) {
        try {
            build(_args);
        } catch (const orq::libs::core::exception& e) {
            return e.get_string_error();
        } catch (...) {
            return "<other exception>";
        }
        return "<no exception>";
    }
    std::string runtime_error(std::initializer_list<std::string> _args) {
        try {
            build(_args);
        } catch (const std::runtime_error& e) {
            return e.what();
        } catch (...) {
            return "<other exception>";
        }
        return "<no exception>";
    }

    // First: the listener's private namespace can only be entered while the
    // process has one thread, and the logger starts ZeroMQ's.
    orq::test::syslog_listener m_syslog;
    logger m_logger{"config-test", "test"};
    orq::test::temp_dir m_dir;
};

bool starts_with(const std::string& _text, const std::string& _prefix) {
    return _text.rfind(_prefix, 0) == 0;
}

}  // namespace

// Catches: an option mapped to the wrong field, a replacing option that
// accumulates, or duplicate topics kept twice.
TEST_F(config_test, command_line_options_set_their_fields) {
    const auto cfg = build({"-d", "tcp://127.0.0.1:1", "-d", "tcp://127.0.0.1:7700", "-l", "-a", "tcp://a:1", "-a",
                            "tcp://localhost:7701", "-s", "&b", "-s", "&a", "-s", "&b", "-f", "/tmp/x.log"});
    EXPECT_EQ(cfg->system.debug_port, std::string("tcp://127.0.0.1:7700"));
    EXPECT_EQ(cfg->system.local_debug, true);
    EXPECT_EQ(cfg->broker.output_address, "tcp://localhost:7701");
    EXPECT_EQ(cfg->broker.subscriptions, (std::set<std::string>{"&a", "&b"}));
    EXPECT_EQ(cfg->broker.output_file, std::string("/tmp/x.log"));
    EXPECT_FALSE(cfg->system.pidfile_path);
    EXPECT_FALSE(cfg->system.template_name);
    EXPECT_EQ(&cfg->m_logger, &m_logger);
}

// Catches: a bare port rejected or rewritten here (the broker tap completes it).
TEST_F(config_test, bare_port_alone_is_kept_unchanged) {
    const auto cfg = build({"-a", "7001"});
    EXPECT_EQ(cfg->broker.output_address, "7001");
    EXPECT_TRUE(cfg->broker.subscriptions.empty());
    EXPECT_FALSE(cfg->broker.output_file);
    EXPECT_FALSE(cfg->system.debug_port);
    EXPECT_FALSE(cfg->system.local_debug);
}

// Catches: a configuration without broker address accepted, or rejected with
// another text.
TEST_F(config_test, missing_output_address_is_rejected) {
    EXPECT_EQ(orq_error({}), no_address_message);
    EXPECT_EQ(orq_error({"-s", "x", "-l"}), no_address_message);
    EXPECT_EQ(orq_error({"-a", ""}), no_address_message);
    EXPECT_EQ(orq_error({"-c", file("no_broker.json", R"({"system": {"debug_port": "x"}})")}), no_address_message);
}

// Catches: unknown options or missing arguments ignored, or reported without
// the usage text.
TEST_F(config_test, bad_options_throw_the_usage_text) {
    EXPECT_EQ(orq_error({"-x"}), orq::config::m_usage_string);
    EXPECT_EQ(orq_error({"-a", "7001", "-q"}), orq::config::m_usage_string);
    EXPECT_EQ(orq_error({"-a", "7001", "-s"}), orq::config::m_usage_string);
    EXPECT_EQ(orq_error({"-a"}), orq::config::m_usage_string);
}

// Catches: getopt state left over from an earlier construction (a position in
// an argument vector that no longer exists, or a skipped first option).
TEST_F(config_test, every_construction_parses_its_own_command_line) {
    // Stops in the middle of "-zl", with getopt pointing into that argument.
    EXPECT_EQ(orq_error({"-zl", "-a", "1"}), orq::config::m_usage_string);
    const auto second = build({"-s", "x", "-a", "2"});
    EXPECT_EQ(second->broker.output_address, "2");
    EXPECT_EQ(second->broker.subscriptions, std::set<std::string>{"x"});
    EXPECT_FALSE(second->system.local_debug);
    const auto third = build({"-a", "3"});
    EXPECT_EQ(third->broker.output_address, "3");
    EXPECT_TRUE(third->broker.subscriptions.empty());
}

// Catches: file keys read from the wrong place or with the wrong type.
TEST_F(config_test, file_keys_fill_their_fields) {
    const auto path = file("all.json", R"(
        // comments are allowed
        {
            "system": {"pidfile_path": "/run/a.pid", "template_name": "@one", "debug_port": "tcp://d:1",
                       "local_debug": false, "unrelated": 1},
            "broker": {"output_address": "tcp://b:2", "subscriptions": ["&y", "&x"], "output_file": "/tmp/o"},
            "other": {"ignored": true}
        })");
    const auto cfg = build({"-c", path});
    EXPECT_EQ(cfg->system.pidfile_path, std::string("/run/a.pid"));
    EXPECT_EQ(cfg->system.template_name, std::string("@one"));
    EXPECT_EQ(cfg->system.debug_port, std::string("tcp://d:1"));
    EXPECT_EQ(cfg->system.local_debug, false);
    EXPECT_EQ(cfg->broker.output_address, "tcp://b:2");
    EXPECT_EQ(cfg->broker.subscriptions, (std::set<std::string>{"&x", "&y"}));
    EXPECT_EQ(cfg->broker.output_file, std::string("/tmp/o"));
}

// Catches: keys of another type treated as errors or converted.
TEST_F(config_test, file_keys_of_another_type_count_as_absent) {
    const auto path = file("typed.json", R"({
            "system": {"pidfile_path": 5, "debug_port": ["x"], "local_debug": "yes"},
            "broker": {"output_address": 7001, "subscriptions": "&x", "output_file": null}
        })");
    const auto cfg = build({"-a", "tcp://a:1", "-c", path});
    EXPECT_FALSE(cfg->system.pidfile_path);
    EXPECT_FALSE(cfg->system.debug_port);
    EXPECT_FALSE(cfg->system.local_debug);
    EXPECT_EQ(cfg->broker.output_address, "tcp://a:1");
    EXPECT_TRUE(cfg->broker.subscriptions.empty());
    EXPECT_FALSE(cfg->broker.output_file);
    // A document without the sections at all.
    EXPECT_EQ(build({"-c", file("empty.json", "{}"), "-a", "1"})->broker.output_address, "1");
}

// Catches: the file overriding an option given before -c, or an option after
// -c not replacing the file's value.
TEST_F(config_test, command_line_wins_over_the_file_wherever_it_stands) {
    const auto path = file("b.json", R"({
            "system": {"debug_port": "tcp://file:1", "local_debug": false},
            "broker": {"output_address": "tcp://file:2", "output_file": "/tmp/file"}
        })");
    const auto before = build({"-a", "7001", "-d", "tcp://cli:1", "-l", "-f", "/tmp/cli", "-c", path});
    EXPECT_EQ(before->broker.output_address, "7001");
    EXPECT_EQ(before->system.debug_port, std::string("tcp://cli:1"));
    EXPECT_EQ(before->system.local_debug, true);
    EXPECT_EQ(before->broker.output_file, std::string("/tmp/cli"));

    const auto after = build({"-c", path, "-a", "7001", "-d", "tcp://cli:1", "-l", "-f", "/tmp/cli"});
    EXPECT_EQ(after->broker.output_address, "7001");
    EXPECT_EQ(after->system.debug_port, std::string("tcp://cli:1"));
    EXPECT_EQ(after->system.local_debug, true);
    EXPECT_EQ(after->broker.output_file, std::string("/tmp/cli"));
}

// Catches: a later file overriding the first, or the pid file and template
// name kept from a file that is no longer the last.
TEST_F(config_test, between_files_the_first_wins_except_pidfile_and_template) {
    const auto first = file("first.json", R"({
            "system": {"pidfile_path": "/run/first.pid", "template_name": "@first", "debug_port": "tcp://first:1",
                       "local_debug": false},
            "broker": {"output_address": "tcp://first:2", "output_file": "/tmp/first"}
        })");
    const auto second = file("second.json", R"({
            "system": {"debug_port": "tcp://second:1", "local_debug": true},
            "broker": {"output_address": "tcp://second:2", "output_file": "/tmp/second"}
        })");
    const auto cfg = build({"-c", first, "-c", second});
    EXPECT_FALSE(cfg->system.pidfile_path);
    EXPECT_FALSE(cfg->system.template_name);
    EXPECT_EQ(cfg->system.debug_port, std::string("tcp://first:1"));
    EXPECT_EQ(cfg->system.local_debug, false);
    EXPECT_EQ(cfg->broker.output_address, "tcp://first:2");
    EXPECT_EQ(cfg->broker.output_file, std::string("/tmp/first"));

    const auto third = file("third.json", R"({"system": {"pidfile_path": "/run/third.pid", "template_name": "@3"}})");
    const auto last = build({"-c", first, "-c", third});
    EXPECT_EQ(last->system.pidfile_path, std::string("/run/third.pid"));
    EXPECT_EQ(last->system.template_name, std::string("@3"));
}

// Catches: topics from the file replacing the command line's, or duplicates.
TEST_F(config_test, subscriptions_are_the_union_of_all_sources) {
    const auto path = file("subs.json", R"({"broker": {"output_address": "1", "subscriptions": ["y", "x"]}})");
    const auto cfg = build({"-s", "x", "-c", path, "-s", "z"});
    const std::vector<std::string> in_order(cfg->broker.subscriptions.begin(), cfg->broker.subscriptions.end());
    EXPECT_EQ(in_order, (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_TRUE(build({"-c", file("none.json", R"({"broker": {"output_address": "1", "subscriptions": []}})")})
                    ->broker.subscriptions.empty());
}

// Catches: a file that cannot be read or parsed accepted as empty, or ending
// in a crash (deep nesting) instead of the parse error.
TEST_F(config_test, unreadable_or_invalid_files_throw_the_parse_error) {
    const std::string prefix = "Cannot parse json: ";
    EXPECT_TRUE(starts_with(runtime_error({"-a", "1", "-c", m_dir.file("missing.json")}), prefix));
    EXPECT_TRUE(starts_with(runtime_error({"-a", "1", "-c", m_dir.path()}), prefix));
    EXPECT_TRUE(starts_with(runtime_error({"-a", "1", "-c", file("bad.json", R"({"broker": )")}), prefix));
    EXPECT_TRUE(starts_with(runtime_error({"-a", "1", "-c", file("empty", "")}), prefix));
    std::string garbage =
        "\x7f"
        "ELF";
    for (int i = 0; i < 4096; ++i) {
        garbage += static_cast<char>((i * 131 + 7) % 256);
    }
    EXPECT_TRUE(starts_with(runtime_error({"-a", "1", "-c", file("garbage", garbage)}), prefix));
    const std::size_t depth = 100000;
    const auto deep = file("deep.json", "{\"broker\": " + std::string(depth, '[') + std::string(depth, ']') + "}");
    EXPECT_TRUE(starts_with(runtime_error({"-a", "1", "-c", deep}), prefix));
}

// Catches: the bad file not named in the log (the parse error does not say
// which file it was).
TEST_F(config_test, unreadable_file_is_named_in_the_log) {
    const auto missing = m_dir.file("missing.json");
    EXPECT_THROW(command_line({"-a", "1", "-c", missing}).build(m_logger), std::runtime_error);
    const auto record = m_syslog.wait_for(missing);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->message, "Reading the configuration file " + missing);
    EXPECT_EQ(record->priority, LOG_USER | LOG_INFO);
}

// Catches: a non-string topic accepted, converted or skipped silently.
TEST_F(config_test, non_string_subscription_throws_the_optional_access_error) {
    const auto path = file("num.json", R"({"broker": {"output_address": "1", "subscriptions": ["ok", 5]}})");
    try {
        build({"-c", path});
        FAIL() << "no exception";
    } catch (const boost::bad_optional_access& e) {
        EXPECT_STREQ(e.what(), "Attempted to access the value of an uninitialized optional object.");
    }
    EXPECT_THROW(build({"-c", file("obj.json", R"({"broker": {"output_address": "1", "subscriptions": [{}]}})")}),
                 boost::bad_optional_access);
}

// Catches: a document that fails half-way leaving part of its values behind.
TEST_F(config_test, failed_merge_leaves_the_record_unchanged) {
    const auto cfg = build({"-a", "1", "-s", "x"});
    std::istringstream bad(R"({"system": {"pidfile_path": "/run/p", "debug_port": "tcp://d:1"},
                              "broker": {"subscriptions": ["y", false], "output_file": "/tmp/o"}})");
    EXPECT_THROW(cfg->from_stream(bad), boost::bad_optional_access);
    EXPECT_FALSE(cfg->system.pidfile_path);
    EXPECT_FALSE(cfg->system.debug_port);
    EXPECT_EQ(cfg->broker.subscriptions, std::set<std::string>{"x"});
    EXPECT_FALSE(cfg->broker.output_file);
}

// Catches: the help option ending the parse or the program, or the texts
// altered on their way to the log (read as a format, cut, decorated).
TEST_F(config_test, help_logs_usage_and_help_as_one_info_line_and_goes_on) {
    const auto cfg = command_line({"-h", "-a", "7001"}).build(m_logger);
    EXPECT_EQ(cfg->broker.output_address, "7001");
    const auto record = m_syslog.wait_for("Run as a service:");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->priority, LOG_USER | LOG_INFO);
    EXPECT_EQ(record->message, orq::config::m_usage_string + orq::config::m_help_string);
}

// Catches: any change to the fixed texts (a word, a quote, the leading
// newline, the trailing indentation), against a copy written out line by line.
TEST(config_texts, usage_and_help_are_exact) {
    const std::string expected_usage =
        "\n"
        "        Usage:\n"
        "        [-d] - broker debug port (example: \"tcp://localhost:7700\")\n"
        "        [-l] - local debug (flag without value)\n"
        "        [-a] - broker output address (example: \"tcp://localhost:7701\")\n"
        "        [-s] - subscriptions (there may be several values; example: \"&vusk-data-adapter\")\n"
        "        [-f] - output file (example: \"/tmp/broker.log\")\n"
        "        [-c] - config file (example: \"/etc/config.json\")\n"
        "        [-h] - show this message\"\n"
        "\n"
        "        Examples:\n"
        "            vusk-debug-agent -a tcp://localhost:7001\n"
        "\n"
        "            # Assume 'tcp://localhost' when scheme and host is not specified\n"
        "            vusk-debug-agent -a 7001\n"
        "    ";

    const std::string expected_help =
        "\n"
        "        Run as a service:\n"
        "        To run this application as a service you should perform the following steps:\n"
        "        1. Choose a new name for the service instance\n"
        "           to display the names already used, run the following command:\n"
        "           $ find /etc/vusk/custom/ -name 'vusk-debug-agent@*' | sed -e "
        "'s|/etc/vusk/custom/vusk-debug-agent@\\(.*\\).json|\\1|g'\n"
        "        2. Create a new configuration file for the new instance:\n"
        "           $ sudo su vusk -c 'touch /etc/vusk/custom/vusk-debug-agent@__NAME__.json'\n"
        "           where __NAME__ is the name from [1]\n"
        "           with the following content:\n"
        "             {\n"
        "               \"broker\":\n"
        "               {\n"
        "                 \"output_address\": \"tcp://localhost:7701\",\n"
        "                 \"subscriptions\":\n"
        "                 [\n"
        "                   \"&vusk\"\n"
        "                 ]\n"
        "               }\n"
        "             }\n"
        "        3. Start the service\n"
        "           $ sudo systemctl start 'vusk-debug-agent@__NAME__'\n"
        "        4. (Optional) Add the service instance to the server startup\n"
        "           $ sudo systemctl enable 'vusk-debug-agent@__NAME__'\n"
        "\n"
        "        List all service instances:\n"
        "        $ sudo systemctl status 'vusk-debug-agent@*' --all\n"
        "\n"
        "        Stop/disable all running service instances:\n"
        "        $ sudo systemctl stop 'vusk-debug-agent@*' --all\n"
        "        $ sudo systemctl disable 'vusk-debug-agent@*' --all\n"
        "\n"
        "        Remove unit in the case it stays in the list in failed state:\n"
        "        $ sudo systemctl reset-failed vusk-debug-agent@debug_port.service\n"
        "\n"
        "        List all created configuration files for the service\n"
        "        $ find /etc/vusk/custom/ -name 'vusk-debug-agent@*'\n"
        "    ";

    EXPECT_EQ(orq::config::m_usage_string, expected_usage);
    EXPECT_EQ(orq::config::m_help_string, expected_help);
}

// Catches: the documented sample configuration drifting from what the agent reads.
TEST_F(config_test, shipped_example_configuration_is_read_whole) {
    const auto config = build({"-c", std::string(ORQ_SOURCE_DIR) + "/examples/vusk-debug-agent@adapter.json"});
    EXPECT_EQ(config->system.pidfile_path, std::string("/run/vusk/vusk-debug-agent_adapter.pid"));
    EXPECT_EQ(config->system.template_name, std::string("_adapter"));
    EXPECT_EQ(config->system.debug_port, std::string("tcp://localhost:7700"));
    EXPECT_EQ(config->broker.output_address, "tcp://localhost:7701");
    EXPECT_EQ(config->broker.subscriptions, std::set<std::string>{"&vusk-data-adapter"});
    EXPECT_EQ(config->broker.output_file, std::string("/var/log/vusk/adapter.log"));
}
