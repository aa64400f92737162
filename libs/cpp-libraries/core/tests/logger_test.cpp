// The logger against real sinks: syslog datagrams arriving at a private
// /dev/log, and debug-channel frames arriving at a plain libzmq PULL socket.

#include <core/logger.hpp>
#include <core/version.hpp>

#include "syslog_listener.hpp"
#include "zmq_peers.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

using namespace orq::libs::core;
using orq::test::syslog_listener;
using orq::test::zmq_peers::log_capture;

namespace {

const std::regex date_part(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");

// Locations hold views: the file names must outlive them (built on first use,
// after the library's constants are initialised).
const char* in_tree(const char* _relative) {
    static std::map<std::string, std::string> keep;
    return keep.emplace(_relative, constants::source_directory + _relative).first->second.c_str();
}

}  // namespace

// Catches: wrong syslog identity, facility or level, or a lost start line.
TEST(logger_syslog, start_line_reaches_syslog_with_identity_and_user_facility) {
    syslog_listener listener;
    logger log("logger-test", "main");
    const auto record = listener.wait_for("Starting logger-test");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->identity, "logger-test");
    EXPECT_EQ(record->priority, LOG_USER | LOG_INFO);
    EXPECT_EQ(record->message, "Starting logger-test");
}

// Catches: debug lines leaking into syslog in normal mode, time or indentation
// in normal-mode syslog text, wrong priorities per level.
TEST(logger_syslog, normal_mode_filters_debug_and_writes_location_and_message_only) {
    syslog_listener listener;
    logger log("logger-test", "main");
    log.debug("hidden debug line");
    log.warning("warn %1%") % 1;
    log.error("err %1% %2%") % "a" % 2;
    const source_location loc(42, in_tree("/src/x.cpp"), "void f()");
    log.info("located").location(loc).function(loc);
    log.info("last");
    ASSERT_TRUE(listener.wait_for("last"));
    std::map<std::string, int> priorities;
    for (const auto& r : listener.records()) {
        priorities[r.message] = r.priority;
        EXPECT_EQ(r.message.find("hidden"), std::string::npos);
    }
    EXPECT_EQ(priorities["warn 1"], LOG_USER | LOG_WARNING);
    EXPECT_EQ(priorities["err a 2"], LOG_USER | LOG_ERR);
    EXPECT_EQ(priorities.count("/src/x.cpp:42 void f(): located"), 1u);
}

// Catches: debug mode not passing debug lines, or missing date and indentation.
TEST(logger_syslog, debug_mode_passes_debug_lines_with_date_and_indent) {
    syslog_listener listener;
    logger log("logger-test", "main");
    log.set_debug(true);
    EXPECT_TRUE(log.is_debug());
    {
        auto guard = log.enter_scope("outer");
        log.debug("inner line");
    }
    const auto record = listener.wait_for("inner line");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->priority, LOG_USER | LOG_DEBUG);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(record->message, match, date_part));
    EXPECT_EQ(match.position(0), 0);
    EXPECT_EQ(record->message.substr(24), "    | inner line");
    log.set_debug(false);
    log.debug("filtered again");
    log.info("after");
    ASSERT_TRUE(listener.wait_for("after"));
    for (const auto& r : listener.records()) {
        EXPECT_EQ(r.message.find("filtered again"), std::string::npos);
    }
}

// Catches: a wrong topic prefix, a missing date part, levels filtered from the
// debug channel, wrong indentation.
TEST(logger_debug_channel, every_level_is_sent_with_prefix_date_and_indentation) {
    syslog_listener listener;
    logger log("logger-test", "main");
    log_capture peer(log);

    log.debug("d %1%") % 1;
    log.info("i");
    log.warning("w");
    log.error("e");
    for (const char* expected : {"d 1", "i", "w", "e"}) {
        const auto frame = peer.next();
        ASSERT_TRUE(frame) << expected;
        const std::string prefix = "&logger-test:main ";
        ASSERT_EQ(frame->rfind(prefix, 0), 0u) << *frame;
        const auto rest = frame->substr(prefix.size());
        EXPECT_TRUE(std::regex_match(rest.substr(0, 24), date_part)) << rest;
        EXPECT_EQ(rest.substr(24), expected);
    }

    auto outer = log.enter_scope("level one");
    auto inner = log.enter_function_short(ORQ_SOURCE_LOCATION, "two");
    log.info("deep");
    inner.reset();
    outer.reset();
    log.info("flat");
    EXPECT_EQ(peer.next()->substr(18 + 24), "level one");
    EXPECT_EQ(peer.next()->substr(18 + 24),
              "    | virtual void "
              "logger_debug_channel_every_level_is_sent_with_prefix_date_and_indentation_Test::TestBody(): two");
    EXPECT_EQ(peer.next()->substr(18 + 24), "        | deep");
    EXPECT_EQ(peer.next()->substr(18 + 24), "flat");
}

// Catches: component loggers sharing the parent's prefix or depth counter.
TEST(logger_debug_channel, component_logger_has_its_own_prefix_and_depth) {
    syslog_listener listener;
    logger log("logger-test", "main");
    log_capture peer(log);
    const auto core = log.component("core");
    auto guard = log.enter_scope("main scope");
    core->info("from core");
    const auto frame = peer.next_containing("from core");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->rfind("&logger-test:core ", 0), 0u);
    EXPECT_EQ(frame->substr(18 + 24), "from core");
}

// Catches: local time instead of UTC, milliseconds without leading zeros.
TEST(logger_debug_channel, date_part_is_utc_with_three_digit_milliseconds) {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    syslog_listener listener;
    logger log("logger-test", "main");
    log_capture peer(log);
    // 2026-03-01 07:05:09.045 UTC
    const timestamp at{timestamp::time_point(std::chrono::milliseconds(1772348709045))};
    log.info("dated").date_time(at);
    const auto frame = peer.next_containing("dated");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->substr(18), "2026-03-01 07:05:09.045 dated");
    log.info("early").date_time(timestamp{timestamp::time_point(std::chrono::milliseconds(5))});
    EXPECT_EQ(peer.next_containing("early")->substr(18), "1970-01-01 00:00:00.005 early");
}

// Catches: a location or function text in the wrong form.
TEST(logger_debug_channel, location_and_function_decorations) {
    syslog_listener listener;
    logger log("logger-test", "main");
    log_capture peer(log);
    const source_location loc(7, in_tree("/src/a.cpp"), "void orq::application::run(int)");
    log.info("both").location(loc).short_function(loc);
    log.info("function only").function(loc);
    log.info("location only").location(loc);
    EXPECT_EQ(peer.next()->substr(42), "/src/a.cpp:7 orq::application::run: both");
    EXPECT_EQ(peer.next()->substr(42), "void orq::application::run(int): function only");
    EXPECT_EQ(peer.next()->substr(42), "/src/a.cpp:7 location only");
}

// Catches: a format mismatch that throws, aborts or silently loses the line.
TEST(logger_format, mismatched_arguments_still_produce_a_marked_line) {
    syslog_listener listener;
    logger log("logger-test", "main");
    log.info("two %1% %2%") % "only-one";
    log.info("none expected") % "extra" % 3;
    log.info("bad %1 format") % 1;
    const auto few = listener.wait_for("two %1% %2%");
    ASSERT_TRUE(few);
    EXPECT_EQ(few->message, "[log format mismatch] \"two %1% %2%\" arguments: \"only-one\"");
    const auto many = listener.wait_for("none expected");
    ASSERT_TRUE(many);
    EXPECT_EQ(many->message, "[log format mismatch] \"none expected\" arguments: \"extra\" \"3\"");
    ASSERT_TRUE(listener.wait_for("bad %1 format"));
}

// Catches: exception logging in the wrong form or count.
TEST(logger_exceptions, log_exception_forms) {
    syslog_listener listener;
    logger log("logger-test", "main");
    const source_location loc(12, in_tree("/src/b.cpp"), "f()");
    try {
        throw std::out_of_range("index 3");
    } catch (...) {
        log.log_exception(loc);
    }
    try {
        throw exception("Process is running", loc);
    } catch (...) {
        log.log_exception();
    }
    log.log_exception(exception("direct", loc));
    log.log_error(boost::system::errc::make_error_code(boost::system::errc::connection_refused), loc);
    log.info("end");
    ASSERT_TRUE(listener.wait_for("end"));
    std::vector<std::string> errors;
    for (const auto& r : listener.records()) {
        if (r.is_error()) {
            errors.push_back(r.message);
        }
    }
    const std::vector<std::string> expected = {
        "/src/b.cpp:12 Caught exeption", "std::exception::what(): index 3",   "/src/b.cpp:12 Process is running",
        "/src/b.cpp:12 direct",          "/src/b.cpp:12: Connection refused",
    };
    EXPECT_EQ(errors, expected);
}

// Catches: execute letting an exception through or misreporting success.
TEST(logger_exceptions, execute_reports_and_contains_any_exception) {
    syslog_listener listener;
    logger log("logger-test", "main");
    bool ran = false;
    EXPECT_TRUE(log.execute([&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_FALSE(log.execute([] { throw 42; }));
    ASSERT_TRUE(listener.wait_for("Unknown exception"));
}

// Catches: torn or lost lines, or data races, when several threads log at once.
TEST(logger_threads, concurrent_statements_arrive_whole) {
    syslog_listener listener;
    logger log("logger-test", "main");
    log_capture peer(log);
    constexpr int threads = 4;
    constexpr int lines = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&log, t] {
            for (int i = 0; i < lines; ++i) {
                log.info("thread %1% line %2%") % t % i;
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    std::set<std::string> seen;
    for (int n = 0; n < threads * lines; ++n) {
        const auto frame = peer.next();
        ASSERT_TRUE(frame);
        seen.insert(frame->substr(42));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * lines));
    EXPECT_EQ(seen.count("thread 3 line 199"), 1u);
}

// Catches: a rejected endpoint leaving the logger unusable.
TEST(logger_connect, invalid_endpoint_throws_and_logger_stays_usable) {
    syslog_listener listener;
    logger log("logger-test", "main");
    EXPECT_THROW(log.connect("localhost:7700"), zmq::error_t);
    log.info("still here");
    EXPECT_TRUE(listener.wait_for("still here"));
}
