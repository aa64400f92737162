// The real agent binary at start-up: its exit status and what reaches syslog
// (a private /dev/log) and the debug channel (a plain libzmq PULL peer).

#include "agent.hpp"
#include "config.hpp"
#include "syslog_listener.hpp"
#include "zmq_peers.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

using namespace orq::test;
using orq::test::zmq_peers::plain_socket;

namespace {

const std::string missing_address =
    "Broker output address must be defined either on the command line or in the configuration file";

std::vector<orq::test::syslog_record> errors_of(syslog_listener& _listener) {
    std::vector<orq::test::syslog_record> errors;
    for (const auto& r : _listener.records()) {
        if (r.is_error()) {
            errors.push_back(r);
        }
    }
    return errors;
}

// Runs the agent to its exit and expects status 1 and one error line that
// contains the text.
void expect_startup_failure(syslog_listener& _listener, std::vector<std::string> _args, const std::string& _error) {
    child_process agent(agent_argv(std::move(_args)));
    EXPECT_EQ(agent.exit_code(), 1);
    ASSERT_TRUE(_listener.wait_for(_error)) << "missing error: " << _error;
    const auto errors = errors_of(_listener);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].message.find(_error), std::string::npos) << errors[0].message;
    EXPECT_EQ(errors[0].identity, "vusk-debug-agent");
}

class agent_startup : public ::testing::Test {
protected:
    syslog_listener listener;
    temp_dir dir;
};

}  // namespace

// Catches: a missing address accepted, or the error not logged / logged twice.
TEST_F(agent_startup, no_arguments_fails_with_one_error) {
    expect_startup_failure(listener, {}, missing_address);
    EXPECT_TRUE(listener.wait_for("Starting vusk-debug-agent"));
}

// Catches: -h ending the program, or usage/help not logged at info level.
TEST_F(agent_startup, help_logs_usage_and_help_then_fails_for_the_address) {
    expect_startup_failure(listener, {"-h"}, missing_address);
    const auto help = listener.wait_for("Usage:");
    ASSERT_TRUE(help);
    EXPECT_EQ(help->priority, LOG_USER | LOG_INFO);
    // The texts themselves are checked against a copy in the configuration's tests.
    EXPECT_EQ(help->message, orq::config::m_usage_string + orq::config::m_help_string);
}

// Catches: unreadable or malformed configuration files accepted, crashing the
// process, or reported without the parser's text.
TEST_F(agent_startup, bad_configuration_files_fail_cleanly) {
    expect_startup_failure(listener, {"-a", "7001", "-c", dir.file("missing.json")}, "Cannot parse json: ");
}

TEST_F(agent_startup, malformed_json_fails_cleanly) {
    orq::test::write_file(dir.file("bad.json"), "{ \"broker\": { \"output_address\": ");
    expect_startup_failure(listener, {"-c", dir.file("bad.json")}, "Cannot parse json: ");
}

TEST_F(agent_startup, directory_as_configuration_file_fails_cleanly) {
    expect_startup_failure(listener, {"-c", dir.path()}, "Cannot parse json: ");
}

TEST_F(agent_startup, binary_garbage_fails_cleanly) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage.push_back(static_cast<char>((i * 7919) & 0xff));
    }
    orq::test::write_file(dir.file("garbage.json"), garbage);
    expect_startup_failure(listener, {"-c", dir.file("garbage.json")}, "Cannot parse json: ");
}

// Catches: a stack overflow on deeply nested input.
TEST_F(agent_startup, deeply_nested_json_fails_cleanly) {
    orq::test::write_file(dir.file("deep.json"), std::string(200000, '[') + std::string(200000, ']'));
    child_process agent(agent_argv({"-a", "7001", "-c", dir.file("deep.json")}));
    EXPECT_EQ(agent.exit_code(), 1);
    ASSERT_EQ(errors_of(listener).size(), 1u);
}

// Catches: a non-string subscription crashing or being silently skipped.
TEST_F(agent_startup, non_string_subscription_fails_cleanly) {
    orq::test::write_file(dir.file("subs.json"), R"({"broker": {"subscriptions": ["a", 5]}})");
    expect_startup_failure(listener, {"-a", "7001", "-c", dir.file("subs.json")},
                           "Attempted to access the value of an uninitialized optional object.");
}

// Catches: unknown options or a missing argument accepted.
TEST_F(agent_startup, malformed_options_fail_with_the_usage) {
    expect_startup_failure(listener, {"-a", "7001", "-x"}, "        Usage:");
}

TEST_F(agent_startup, missing_option_argument_fails_with_the_usage) {
    expect_startup_failure(listener, {"-a"}, "        Usage:");
}

// Catches: a rejected debug endpoint not reported, or reported as success.
TEST_F(agent_startup, rejected_debug_endpoint_fails) {
    expect_startup_failure(listener, {"-a", "7001", "-d", "localhost:7700"}, "std::exception::what(): ");
}

// Catches: a second instance starting or the live instance's pid file
// rewritten; stale or garbage pid files blocking start-up.
TEST_F(agent_startup, pid_file_checks) {
    const auto pid_file = dir.file("agent.pid");
    orq::test::write_file(dir.file("c.json"), "{\"system\": {\"pidfile_path\": \"" + pid_file + "\"}}");

    // A live process (this test) owns the file: refused, file untouched.
    orq::test::write_file(pid_file, std::to_string(::getpid()));
    expect_startup_failure(listener, {"-a", "7001", "-c", dir.file("c.json")}, "Process is running");
    EXPECT_EQ(orq::test::read_file(pid_file), std::to_string(::getpid()));

    // Stale and non-numeric files are overwritten with the agent's id.
    for (const std::string& content : {std::string("999999999"), std::string("not a number")}) {
        orq::test::write_file(pid_file, content);
        child_process agent(agent_argv({"-a", "7001", "-c", dir.file("c.json")}));
        ASSERT_TRUE(orq::test::wait_until([&] {
            return orq::test::read_file(pid_file) == std::to_string(agent.pid());
        })) << content;
        ASSERT_TRUE(ready_for_signals(agent));
        agent.send_signal(SIGTERM);
        EXPECT_EQ(agent.exit_code(), 0);
    }
}

// Catches: the template name not changing the syslog identity or the debug
// channel's topic prefix.
TEST_F(agent_startup, template_name_renames_syslog_identity_and_debug_prefix) {
    plain_socket pull(::zmq::socket_type::pull);
    const std::string endpoint = pull.bind_loopback();
    orq::test::write_file(dir.file("c.json"), R"({"system": {"template_name": "_a", "debug_port": ")" + endpoint +
                                                  R"("}, "broker": {"output_address": "7001"}})");
    child_process agent(agent_argv({"-c", dir.file("c.json")}));

    const auto renamed = listener.wait_for("Starting vusk-debug-agent_a");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->identity, "vusk-debug-agent_a");
    const auto frame = pull.receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->rfind("&vusk-debug-agent_a:main ", 0), 0u) << *frame;
    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
    // Everything from the renamed logger's first line on carries the new name.
    bool renamed_yet = false;
    for (const auto& r : listener.records()) {
        renamed_yet = renamed_yet || r.message == "Starting vusk-debug-agent_a";
        if (renamed_yet) {
            EXPECT_EQ(r.identity, "vusk-debug-agent_a") << r.message;
        }
    }
    EXPECT_TRUE(listener.wait_for("exit"));
}

// Catches: the "exit" line without its location (file, colon, line), -l not
// copying the agent's log to standard error, and the last lines lost at exit
// (the debug socket's linger): "exit" is queued right before the socket
// closes, so only the linger gets it to the peer.
TEST_F(agent_startup, own_log_exit_location_local_debug_and_linger) {
    // The peer is connected before the stop: a peer that appears within
    // milliseconds of the stop may see ZeroMQ end the linger at once.
    plain_socket pull(::zmq::socket_type::pull);
    const std::string debug_endpoint = pull.bind_loopback();
    child_process agent(agent_argv({"-a", "7001", "-l", "-d", debug_endpoint}));
    ASSERT_TRUE(ready_for_signals(agent));
    std::vector<std::string> lines;
    const auto first = pull.receive();
    ASSERT_TRUE(first);
    lines.push_back(*first);
    agent.send_signal(SIGTERM);
    const auto exit_line = listener.wait_for("exit");
    ASSERT_TRUE(exit_line);
    while (lines.empty() || lines.back().find(" exit") == std::string::npos) {
        const auto frame = pull.receive();
        if (!frame) {
            break;
        }
        lines.push_back(*frame);
    }
    EXPECT_EQ(agent.exit_code(), 0);

    const std::string date = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
    const std::string location = R"([^ ]*main\.cpp:\d+ )";
    // Debug mode: syslog gets the date too.
    EXPECT_TRUE(std::regex_match(exit_line->message, std::regex(date + location + "exit"))) << exit_line->message;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind("&vusk-debug-agent:main ", 0), 0u) << lines.front();
    // Lines before the connect had nowhere to go; every one since then arrives.
    EXPECT_TRUE(std::regex_match(lines.front(), std::regex("&vusk-debug-agent:main " + date + "Connected to socket")))
        << lines.front();
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex("&vusk-debug-agent:main " + date + location + "exit")))
        << lines.back();
    // syslog itself copies each line to standard error.
    agent.wait_exit();
    EXPECT_NE(agent.stderr_text().find("vusk-debug-agent: " + exit_line->message + "\n"), std::string::npos)
        << agent.stderr_text();
}
