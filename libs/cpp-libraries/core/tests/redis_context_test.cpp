// The Redis client against a real redis-server started for each test: what
// each operation really sends (read back through MONITOR and plain
// connections), scanning, connection failures, the server going away, and
// teardown while hiredis still holds work.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/impl/block_pool.hpp>
#include <core/redis/context.hpp>

#include <impl/redis/async_context.hpp>

#include "redis_server.hpp"
#include "socket_peers.hpp"
#include "syslog_listener.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace orq::libs::core;
using namespace std::chrono_literals;
using orq::test::redis_monitor;
using orq::test::redis_peer;

namespace {

class redis_context_test : public ::testing::Test {
protected:
    // Runs the loop's handlers until the predicate holds; false after the bound.
    bool run_until(const std::function<bool()>& _done, std::chrono::seconds _bound = 30s) {
        return orq::test::run_until(m_loop->get_io_context(), _done, _bound);
    }
    void run_ready() { orq::test::run_ready(m_loop->get_io_context()); }

    redis::context::ptr connect(int _db = 0) {
        auto handle = m_loop->create_redis_context("127.0.0.1", m_server.port(), _db);
        boost::optional<boost::optional<redis::context::ptr>> result;
        handle->set_callback([&](boost::optional<redis::context::ptr> _context) { result = std::move(_context); });
        if (!run_until([&] { return result.has_value(); }) || !*result) {
            throw std::runtime_error("no context");
        }
        return std::move(**result);
    }

    // A connection of hiredis' asynchronous interface, as the contexts use it.
    redis::async_context::ptr connect_async() {
        redis::async_context::ptr connection;
        auto connecting = redis::async_context::create(*m_loop, m_logger, "127.0.0.1", m_server.port(), 0);
        connecting->set_callback([&](redis::async_context::ptr _connection) { connection = std::move(_connection); });
        EXPECT_TRUE(run_until([&] { return connection != nullptr; }));
        return connection;
    }
    std::vector<const char*> m_ping{"PING"};
    std::vector<std::size_t> m_ping_len{4};

    // A field of the server's INFO, read over the plain connection.
    std::string info(const std::string& _section, const std::string& _field) {
        const std::string text = m_peer->call({"INFO", _section});
        const auto at = text.find(_field + ":");
        if (at == std::string::npos) {
            return "";
        }
        const auto from = at + _field.size() + 1;
        return text.substr(from, text.find('\r', from) - from);
    }
    // Connections the server has, the asking one included.
    std::string clients() { return info("clients", "connected_clients"); }
    bool blocked_clients(int _count) { return info("clients", "blocked_clients") == std::to_string(_count); }

    template <typename F>
    static std::string error_of(F&& _f) {
        try {
            _f();
        } catch (const exception& e) {
            return e.get_string_error();
        }
        return "no error";
    }

    orq::test::redis_server m_server;
    std::unique_ptr<redis_peer> m_peer = std::make_unique<redis_peer>(m_server.port());
    logger m_logger{"redis-context-test", "main"};
    core::ptr m_core = core::create(m_logger);
    events_loop::ptr m_loop = m_core->create_events_loop("main loop");
};

// The same with the log lines received by a private syslog (entered before
// anything starts a thread).
class redis_syslog {
protected:
    orq::test::syslog_listener m_syslog;
};

class redis_failure_test : public redis_syslog, public redis_context_test {};

}  // namespace

// Catches: an operation that sends other words than its own (or in another
// order), arguments cut at a zero byte, added arguments lost, a missing or
// late SELECT on either connection, and an asynchronous reply whose text was
// not handed over whole.
TEST_F(redis_context_test, each_operation_sends_exactly_its_words_after_select_on_both_connections) {
    redis_monitor monitor(m_server.port());
    auto context = connect(3);
    redis::context& c = *context;
    const std::vector<std::pair<std::function<redis::command::ptr()>, std::string>> operations = {
        {[&] { return c.set("k", "v"); }, R"("SET" "k" "v")"},
        {[&] { return c.get("k"); }, R"("GET" "k")"},
        {[&] { return c.del("k"); }, R"("DEL" "k")"},
        {[&] {
             auto command = c.add_to_set("s");
             command->add_argument("a").add_argument("b");
             return command;
         },
         R"("SADD" "s" "a" "b")"},
        {[&] { return c.add_to_set("s", "c"); }, R"("SADD" "s" "c")"},
        {[&] { return c.remove_from_set("s", "a"); }, R"("SREM" "s" "a")"},
        {[&] { return c.get_set_members("s"); }, R"("SMEMBERS" "s")"},
        {[&] { return c.set_to_table("t", "f", "1"); }, R"("HSET" "t" "f" "1")"},
        {[&] { return c.increment_in_table("t", "f", "5"); }, R"("HINCRBY" "t" "f" "5")"},
        {[&] {
             auto command = c.set_to_table_multi("t");
             command->add_argument("g").add_argument("2");
             return command;
         },
         R"("HMSET" "t" "g" "2")"},
        {[&] { return c.get_from_table("t", "f"); }, R"("HGET" "t" "f")"},
        {[&] {
             auto command = c.get_from_table_multi("t");
             command->add_argument("f").add_argument("g");
             return command;
         },
         R"("HMGET" "t" "f" "g")"},
        {[&] { return c.get_table("t"); }, R"("HGETALL" "t")"},
        {[&] { return c.delete_from_table("t", "g"); }, R"("HDEL" "t" "g")"},
        {[&] {
             return c.create_command({"SET", "z", std::string("a\0b", 3)});
         },
         R"("SET" "z" "a\x00b")"},
    };
    std::vector<std::string> expected_sync{R"("SELECT" "3")"};
    for (const auto& [make, words] : operations) {
        make()->execute();
        expected_sync.push_back(words);
    }
    boost::optional<std::string> value;
    auto handle = c.get("z")->execute_async();
    handle->set_callback([&](redis::reply _reply) { value = _reply.to_string(); });
    ASSERT_TRUE(run_until([&] { return value.has_value(); }));
    EXPECT_EQ(*value, std::string("a\0b", 3));

    std::map<std::string, std::vector<std::string>> by_client;
    std::vector<std::string> order;
    for (const auto& entry : monitor.collect()) {
        if (by_client.count(entry.client) == 0) {
            order.push_back(entry.client);
        }
        by_client[entry.client].push_back(entry.words);
    }
    ASSERT_EQ(order.size(), 2u);  // the non-blocking connection is opened first
    EXPECT_EQ(by_client[order[0]], (std::vector<std::string>{R"("SELECT" "3")", R"("GET" "z")"}));
    EXPECT_EQ(by_client[order[1]], expected_sync);

    m_peer->call({"SELECT", "3"});
    EXPECT_EQ(m_peer->call({"HGETALL", "t"}), "f\n6\n");
    EXPECT_EQ(m_peer->call({"SORT", "s", "ALPHA"}), "b\nc\n");
}

// Catches: a prepared command run again after add_argument sending the words
// it had before (stale protocol text), restart() not taking the words added
// meanwhile, and short arguments garbled when adding more moves them.
TEST_F(redis_context_test, each_asynchronous_run_sends_the_words_the_command_has_then) {
    auto context = connect();
    redis_monitor monitor(m_server.port());
    auto command = context->add_to_set("s");
    int replies = 0;
    const auto run = [&](const async_operation_handle<redis::reply>::ptr& _handle) {
        const int expected = replies + 1;
        _handle->set_callback([&](redis::reply) { ++replies; });
        ASSERT_TRUE(run_until([&] { return replies == expected; }));
    };
    command->add_argument("a");
    auto handle = command->execute_async();
    run(handle);
    run(command->execute_async());
    std::string words = R"("SADD" "s" "a")";
    std::vector<std::string> expected{words, words};
    for (int i = 0; i < 11; ++i) {
        command->add_argument(std::to_string(i));
        words += " \"" + std::to_string(i) + "\"";
    }
    command->add_argument("");
    words += R"( "")";
    run(command->execute_async());
    expected.push_back(words);
    command->add_argument(std::string("z\0", 2));
    words += R"( "z\x00")";
    handle->restart();
    run(handle);
    expected.push_back(words);

    std::vector<std::string> sent;
    for (const auto& entry : monitor.collect()) {
        sent.push_back(entry.words);
    }
    EXPECT_EQ(sent, expected);
}

// Catches: protocol text that differs from what hiredis would send for the
// same words (counts, lengths, empty and binary words).
TEST(redis_format_test, commands_are_formatted_as_hiredis_formats_them) {
    const std::string big(12345, 'x');
    const std::vector<std::vector<std::string>> commands = {
        {"PING"},
        {"SET", "k", std::string("a\0\r\nb", 5)},
        {"SET", "", big},
        {"A", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"},
    };
    for (const auto& words : commands) {
        std::vector<const char*> argv;
        std::vector<std::size_t> argv_len;
        for (const auto& word : words) {
            argv.push_back(word.data());
            argv_len.push_back(word.size());
        }
        char* theirs = nullptr;
        const int length = redisFormatCommandArgv(&theirs, static_cast<int>(argv.size()), argv.data(), argv_len.data());
        ASSERT_GT(length, 0);
        const std::string expected(theirs, static_cast<std::size_t>(length));
        redisFreeCommand(theirs);
        std::string ours = "left over";
        redis::format_command(argv, argv_len, ours);
        EXPECT_EQ(ours, expected);
    }
}

// Catches: a pooled block handed out again while still in use, a block
// smaller than asked for, and blocks freed or reused on another thread than
// the one that allocated them going wrong.
TEST(redis_block_pool_test, blocks_stay_whole_and_distinct_across_frees_and_threads) {
    using orq::libs::core::detail::block_pool;
    struct block {
        unsigned char* data;
        std::size_t size;
        unsigned char mark;
    };
    std::vector<block> live;
    unsigned char next_mark = 0;
    const auto take = [&](std::vector<block>& _into, std::size_t _size) {
        auto* data = static_cast<unsigned char*>(block_pool::allocate(_size));
        std::memset(data, ++next_mark, _size);
        _into.push_back({data, _size, next_mark});
    };
    const auto whole = [](const std::vector<block>& _blocks) {
        return std::all_of(_blocks.begin(), _blocks.end(), [](const block& _b) {
            return std::all_of(_b.data, _b.data + _b.size, [&](unsigned char _c) { return _c == _b.mark; });
        });
    };
    const std::size_t sizes[] = {1, 24, 32, 33, 64, 100, 128, 200, 256, 257, 1000};
    for (int round = 0; round < 3; ++round) {
        for (const std::size_t size : sizes) {
            take(live, size);
        }
    }
    // Every other block freed here, the rest handed to another thread.
    std::vector<block> kept, handed;
    for (std::size_t i = 0; i < live.size(); ++i) {
        if (i % 2 == 0) {
            block_pool::deallocate(live[i].data, live[i].size);
        } else {
            (i % 4 == 1 ? kept : handed).push_back(live[i]);
        }
    }
    for (const std::size_t size : sizes) {
        take(kept, size);
    }
    std::thread other([&] {
        for (const auto& b : handed) {
            block_pool::deallocate(b.data, b.size);
        }
        handed.clear();
        for (const std::size_t size : sizes) {
            take(handed, size);
        }
        EXPECT_TRUE(whole(handed));
        for (const auto& b : handed) {
            block_pool::deallocate(b.data, b.size);
        }
    });
    other.join();
    EXPECT_TRUE(whole(kept));
    for (const auto& b : kept) {
        block_pool::deallocate(b.data, b.size);
    }
}

// Catches: a reply larger than hiredis reads at once that stalls, the rest
// of it left unread in the socket while the loop waits for new data; and a
// reply of any kind that the asynchronous reader makes wrongly (its type, a
// NIL taken for an empty text, text cut or run together with its block,
// nested elements), which ASan also watches being freed.
TEST_F(redis_context_test, replies_of_every_kind_and_size_arrive_whole) {
    const std::string big(4 << 20, 'b');
    ASSERT_EQ(m_peer->call({"SET", "big", big}), "OK");
    ASSERT_EQ(m_peer->call({"SET", "empty", ""}), "OK");
    auto context = connect();
    std::vector<std::string> got;
    std::vector<async_operation_handle<redis::reply>::ptr> handles;
    const auto run = [&](std::vector<std::string> _words, std::function<std::string(const redis::reply&)> _read) {
        handles.push_back(context->create_command(std::move(_words))->execute_async());
        handles.back()->set_callback(
            [&got, read = std::move(_read)](redis::reply _reply) { got.push_back(read(_reply)); });
    };
    const auto kind = [](const redis::reply& _reply) { return std::string(redis::to_string(_reply.get_type())); };
    run({"GET", "big"}, [](const redis::reply& _reply) { return std::to_string(_reply.as_string_view().size()); });
    run({"GET", "missing"}, kind);
    run({"GET", "empty"}, [](const redis::reply& _reply) { return "'" + _reply.to_string() + "'"; });
    run({"INCR", "n"}, [](const redis::reply& _reply) { return std::to_string(_reply.to_long_long()); });
    run({"PING"}, [](const redis::reply& _reply) { return _reply.to_string(); });
    run({"INCR", "big"}, kind);
    run({"EVAL", "return {1, {'a', '', ARGV[1]}, {}}", "0", std::string(300, 'x')}, [](const redis::reply& _reply) {
        const auto top = _reply.as_array();
        const auto inner = top[1].as_array();
        return std::to_string(top[0].to_long_long()) + " " + inner[0].to_string() + " '" + inner[1].to_string() + "' " +
               std::to_string(inner[2].as_string_view().size()) + " " + std::to_string(top[2].as_array().size());
    });
    ASSERT_TRUE(run_until([&] { return got.size() == 7; }, 20s));
    EXPECT_EQ(
        got, (std::vector<std::string>{std::to_string(big.size()), "nil", "''", "1", "PONG", "error", "1 a '' 300 0"}));
}

// Catches: a failed creation that throws out of run(), completes the handle
// more than once or never, or says nothing about why (the server's text for
// a refused database, hiredis' for a refused connection or a name that does
// not resolve); a port outside 0..65535 that wraps onto another.
TEST_F(redis_failure_test, every_failed_creation_gives_one_empty_result_and_logs_why_as_an_error) {
    const std::vector<
        std::pair<std::function<async_operation_handle<boost::optional<redis::context::ptr>>::ptr()>, std::string>>
        failures = {
            {[&] { return m_loop->create_redis_context("127.0.0.1", m_server.port(), 99); },
             "Command: SELECT, error: ERR DB index is out of range"},
            {[&] { return m_loop->create_redis_context("127.0.0.1", orq::test::free_tcp_port(), 0); },
             "Connection refused"},
            {[&] { return m_loop->create_redis_context("999.0.0.1", m_server.port(), 0); },
             "Cannot open connection to the redis server: "},
        };
    for (const auto& [create, reason] : failures) {
        auto handle = create();
        std::vector<bool> results;
        handle->set_callback([&](boost::optional<redis::context::ptr> _context) { results.push_back(bool(_context)); });
        ASSERT_NO_THROW(ASSERT_TRUE(run_until([&] { return !results.empty(); })));
        ASSERT_NO_THROW(run_ready());
        EXPECT_EQ(results, std::vector<bool>{false}) << reason;
        const auto record = m_syslog.wait_for(reason);
        ASSERT_TRUE(record) << reason;
        EXPECT_TRUE(record->is_error()) << record->raw;
    }
    for (const int port : {-1, 65536, 16379 + 65536}) {
        EXPECT_THROW(m_loop->create_redis_context("127.0.0.1", port, 0), boost::system::system_error) << port;
    }
}

// Catches: keys offered twice or missed across batches, a scan that stops
// before the cursor returns to 0, and further SCANs after the callback said
// stop.
TEST_F(redis_context_test, scan_offers_every_matching_key_once_and_stops_when_told) {
    for (int batch = 0; batch < 10; ++batch) {
        std::vector<std::string> words{"MSET"};
        for (int i = batch * 1000; i < (batch + 1) * 1000; ++i) {
            words.push_back((i % 2 == 0 ? "scan:" : "other:") + std::to_string(i));
            words.push_back("x");
        }
        ASSERT_EQ(m_peer->call(words), "OK");
    }
    // Every lookup moves the server's table along while it is being resized;
    // a finished resize keeps SCAN from returning a key twice.
    std::vector<std::string> all{"EXISTS"};
    for (int i = 0; i < 10000; ++i) {
        all.push_back((i % 2 == 0 ? "scan:" : "other:") + std::to_string(i));
    }
    ASSERT_EQ(m_peer->call(all), "10000");

    auto context = connect();
    std::multiset<std::string> seen;
    EXPECT_EQ(context->scan("scan:*",
                            [&](boost::string_view _key) {
                                seen.insert(std::string(_key));
                                return true;
                            }),
              iteration_result::finished);
    EXPECT_EQ(seen.size(), 5000u);
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 5000u);

    int offered = 0;
    EXPECT_EQ(context->scan("none:*", [&](boost::string_view) { return ++offered, true; }), iteration_result::finished);
    EXPECT_EQ(offered, 0);

    redis_monitor monitor(m_server.port());
    EXPECT_EQ(context->scan("scan:*", [&](boost::string_view) { return ++offered, false; }),
              iteration_result::interrupted);
    EXPECT_EQ(offered, 1);
    const auto sent = monitor.collect();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].words, R"("SCAN" "0" "MATCH" "scan:*")");
}

// Catches: commands in flight when the server dies that get no reply, or
// two; later commands that hang or touch hiredis' freed context instead of
// failing at once; a blocking command without reply that dereferences null.
TEST_F(redis_context_test, killing_the_server_gives_each_command_in_flight_one_nil_and_fails_later_ones) {
    auto context = connect();
    std::vector<std::vector<redis::reply_type>> replies(4);
    std::vector<async_operation_handle<redis::reply>::ptr> handles;
    handles.push_back(context->create_command({"BLPOP", "never", "0"})->execute_async());
    for (int i = 0; i < 3; ++i) {
        handles.push_back(context->get("k")->execute_async());
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        handles[i]->set_callback([&, i](redis::reply _reply) { replies[i].push_back(_reply.get_type()); });
    }
    ASSERT_TRUE(run_until([&] { return blocked_clients(1); }));
    m_peer.reset();
    m_server.kill();
    ASSERT_TRUE(
        run_until([&] { return std::all_of(replies.begin(), replies.end(), [](auto& r) { return !r.empty(); }); }));
    run_ready();
    for (const auto& got : replies) {
        EXPECT_EQ(got, std::vector<redis::reply_type>{redis::reply_type::NIL});
    }

    EXPECT_EQ(error_of([&] { context->get("k")->execute_async(); }), "Command: GET, error");
    const std::string first = error_of([&] { context->get("k")->execute(); });
    EXPECT_EQ(first.rfind("Command: GET, error: ", 0), 0u) << first;
    EXPECT_GT(first.size(), std::string("Command: GET, error: ").size());
    EXPECT_EQ(error_of([&] { context->set("k", "v")->execute(); }).rfind("Command: SET, error: ", 0), 0u);
}

// Catches: a blocking command cut short by the connect time-out.
TEST_F(redis_context_test, a_blocking_command_may_wait_longer_than_the_connect_timeout) {
    auto context = connect();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(context->create_command({"BLPOP", "never", "1.7"})->execute().get_type(), redis::reply_type::NIL);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1600ms);
}

// Catches: an exception from a reply callback unwinding through hiredis,
// which leaves its context mid-update (the reply leaks, later replies stall).
TEST_F(redis_context_test, an_exception_from_a_reply_callback_propagates_and_the_connection_goes_on) {
    auto connection = connect_async();
    ASSERT_TRUE(connection);
    std::vector<std::string> got;
    connection->run_command(m_ping, m_ping_len, [](redis::reply) { throw std::runtime_error("boom"); });
    connection->run_command(m_ping, m_ping_len, [&](redis::reply _reply) { got.push_back(_reply.to_string()); });
    EXPECT_THROW(run_until([] { return false; }, 10s), std::runtime_error);
    ASSERT_TRUE(run_until([&] { return !got.empty(); }));
    connection->run_command(m_ping, m_ping_len, [&](redis::reply _reply) { got.push_back(_reply.to_string()); });
    ASSERT_TRUE(run_until([&] { return got.size() == 2; }));
    EXPECT_EQ(got, (std::vector<std::string>{"PONG", "PONG"}));
}

// Catches: pending commands lost (or answered twice) when the context goes,
// a leaked hiredis context (its connection stays open), and, under ASan,
// handlers running on a destroyed connection after it was destroyed from
// inside one of its own reply or connect callbacks.
TEST_F(redis_context_test, destruction_with_work_pending_or_from_inside_callbacks_is_clean) {
    {
        auto context = connect();
        std::vector<redis::reply_type> got;
        auto handle = context->create_command({"BLPOP", "never", "0"})->execute_async();
        handle->set_callback([&](redis::reply _reply) { got.push_back(_reply.get_type()); });
        ASSERT_TRUE(run_until([&] { return blocked_clients(1); }));
        context.reset();
        ASSERT_TRUE(run_until([&] { return !got.empty(); }));
        run_ready();
        EXPECT_EQ(got, std::vector<redis::reply_type>{redis::reply_type::NIL});
        ASSERT_TRUE(run_until([&] { return clients() == "1"; }));
    }

    // From inside a reply callback, with another command still pending.
    auto connection = connect_async();
    ASSERT_TRUE(connection);
    std::vector<const char*> blpop{"BLPOP", "never", "0"};
    std::vector<std::size_t> blpop_len{5, 5, 1};
    std::vector<redis::reply_type> got;
    connection->run_command(m_ping, m_ping_len, [&](redis::reply) { connection.reset(); });
    connection->run_command(blpop, blpop_len, [&](redis::reply _reply) { got.push_back(_reply.get_type()); });
    ASSERT_TRUE(run_until([&] { return !got.empty(); }));
    run_ready();
    EXPECT_EQ(got, std::vector<redis::reply_type>{redis::reply_type::NIL});
    ASSERT_TRUE(run_until([&] { return clients() == "1"; }));

    // From inside the connect callback: nobody waits for the connection.
    const std::string accepted = info("stats", "total_connections_received");
    redis::async_context::create(*m_loop, m_logger, "127.0.0.1", m_server.port(), 0).reset();
    ASSERT_TRUE(run_until([&] { return info("stats", "total_connections_received") != accepted; }));
    ASSERT_TRUE(run_until([&] { return clients() == "1"; }));
}

// Catches: a command's callback (and what it captures) kept once its users
// let go of the handle while the reply is still to come, or that reply
// reaching it; and a use after free (under ASan) when a callback drops its
// own handle or replaces itself while it runs.
TEST_F(redis_context_test, letting_go_of_a_command_handle_drops_its_callback_at_once_even_from_inside_it) {
    auto context = connect();
    auto ping = context->create_command({"PING"});
    std::vector<std::string> calls;
    auto captured = std::make_shared<int>(1);
    const std::weak_ptr<int> watched = captured;
    auto dropped = ping->execute_async();
    dropped->set_callback([&calls, captured](redis::reply) { calls.push_back("dropped"); });
    captured.reset();
    dropped.reset();
    EXPECT_TRUE(watched.expired());

    auto big = std::make_shared<std::string>(1000, 'x');
    auto self_dropping = ping->execute_async();
    self_dropping->set_callback([&, big](redis::reply) {
        self_dropping.reset();
        calls.push_back("self dropped " + std::to_string(big->size()));
    });
    auto replaced = ping->execute_async();
    replaced->set_callback([&, big](redis::reply _reply) {
        replaced->set_callback([&](redis::reply _next) { calls.push_back("second " + _next.to_string()); });
        calls.push_back("first " + _reply.to_string() + " " + std::to_string(big->size()));
    });
    replaced->restart();
    big.reset();
    ASSERT_TRUE(run_until([&] { return calls.size() == 3; }));
    run_ready();
    EXPECT_EQ(calls, (std::vector<std::string>{"self dropped 1000", "first PONG 1000", "second PONG"}));
    EXPECT_EQ(self_dropping, nullptr);
}

// Catches: replies that arrive together (the server was held while they were
// queued) delivered out of order, twice or not at all when their callbacks
// issue commands, post work, stop the loop or throw; the replies after a
// throwing callback must still come, in order, and the exception reach run().
TEST_F(redis_context_test, replies_read_together_keep_their_order_through_callbacks_that_post_stop_or_throw) {
    auto context = connect();
    auto incr = context->create_command({"INCR", "n"});
    constexpr long long count = 200;
    std::vector<long long> values;
    std::vector<std::string> events;
    std::vector<async_operation_handle<redis::reply>::ptr> handles;
    const auto issue = [&](std::function<void(long long)> _then) {
        handles.push_back(incr->execute_async());
        handles.back()->set_callback([&values, then = std::move(_then)](redis::reply _reply) {
            values.push_back(_reply.to_long_long());
            then(values.back());
        });
    };
    m_server.pause();
    for (long long i = 1; i <= count; ++i) {
        issue([&](long long _value) {
            if (_value == 50) {
                m_loop->post([&] { events.push_back("posted after 50"); }, source_location());
                issue([&](long long _late) { events.push_back("late " + std::to_string(_late)); });
            } else if (_value == 100) {
                m_loop->stop();
            } else if (_value == 150) {
                throw std::runtime_error("from the callback of 150");
            }
        });
    }
    run_ready();
    m_server.resume();
    int thrown = 0;
    const auto all_in = [&] { return values.size() == count + 1 && events.size() == 2; };
    for (int attempt = 0; attempt < 3 && !all_in(); ++attempt) {
        try {
            run_until(all_in);
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "from the callback of 150");
            ++thrown;
        }
    }
    ASSERT_TRUE(all_in());
    EXPECT_EQ(thrown, 1);
    for (long long i = 0; i <= count; ++i) {
        EXPECT_EQ(values[static_cast<std::size_t>(i)], i + 1);
    }
    // The late command went after all the others.
    EXPECT_EQ(events[1], "late " + std::to_string(count + 1));
    EXPECT_EQ(events[0], "posted after 50");
}

// Catches: a subscription or MONITOR sent on a shared connection (hiredis
// then calls the command's freed receiver for every message: a crash, or an
// ASan report), a refusal that does not name the command, and a context that
// no longer serves ordinary commands afterwards.
TEST_F(redis_context_test, subscriptions_and_monitor_are_refused_before_anything_is_sent) {
    auto context = connect(2);
    redis_monitor monitor(m_server.port());
    for (const std::string name :
         {"SUBSCRIBE", "psubscribe", "SSUBSCRIBE", "UNSUBSCRIBE", "PUNSUBSCRIBE", "SUNSUBSCRIBE", "Monitor"}) {
        auto command = name == "Monitor" ? context->create_command({name}) : context->create_command({name, "ch"});
        for (const auto& run :
             std::vector<std::function<void()>>{[&] { command->execute(); }, [&] { command->execute_async(); }}) {
            const std::string error = error_of(run);
            EXPECT_EQ(error.rfind("Command: " + name + ", error: ", 0), 0u) << error;
            EXPECT_NE(error.find("connection of their own"), std::string::npos) << error;
        }
    }
    // A message published now would reach a subscribed connection.
    m_peer->call({"PUBLISH", "ch", "m"});
    context->set("k", "v")->execute();
    boost::optional<std::string> value;
    auto handle = context->get("k")->execute_async();
    handle->set_callback([&](redis::reply _reply) { value = _reply.to_string(); });
    ASSERT_TRUE(run_until([&] { return value.has_value(); }));
    EXPECT_EQ(*value, "v");
    EXPECT_EQ(context->get("k")->execute().to_string(), "v");

    std::vector<std::string> sent;
    for (const auto& entry : monitor.collect()) {
        sent.push_back(entry.words);
    }
    EXPECT_EQ(sent,
              (std::vector<std::string>{R"("PUBLISH" "ch" "m")", R"("SET" "k" "v")", R"("GET" "k")", R"("GET" "k")"}));
}

// Catches: a creation that waits for good on a server that accepts and never
// answers (the loop frozen: timers late, SIGTERM unheard), or gives up only
// long after the connect time-out of each step.
TEST_F(redis_context_test, creation_against_a_silent_listener_fails_in_time_and_the_loop_stays_live) {
    const orq::test::socket_peers::plain_listener silent;
    auto signals = m_loop->stop_on_signals();
    ASSERT_TRUE(orq::test::wait_until([] { return orq::test::catches_signals(::getpid(), {SIGTERM}); }, 30s));
    // The signal goes to the handle's thread (its mask was copied before),
    // as it would in a service whose main thread runs the loop.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigset_t before;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &before), 0);
    const std::unique_ptr<sigset_t, void (*)(sigset_t*)> restore(
        &before, [](sigset_t* _mask) { ::pthread_sigmask(SIG_SETMASK, _mask, nullptr); });

    using clock = std::chrono::steady_clock;
    auto last_tick = clock::now();
    clock::duration longest_gap{};
    auto ticks = m_loop->create_periodic_timer(
        100ms, "ticks",
        [&](timer::time_point) {
            const auto now = clock::now();
            longest_gap = std::max(longest_gap, now - last_tick);
            last_tick = now;
        },
        ORQ_SOURCE_LOCATION);

    const auto start = clock::now();
    std::vector<bool> results;
    clock::duration took{};
    timer::ptr signal;
    auto handle = m_loop->create_redis_context("127.0.0.1", silent.port(), 0);
    handle->set_callback([&](boost::optional<redis::context::ptr> _context) {
        results.push_back(bool(_context));
        took = clock::now() - start;
        // Once more than two seconds of ticks have been seen, the signal.
        signal = m_loop->create_timer(
            clock::now() + 2500ms, "signal", [](timer::time_point) { ::kill(::getpid(), SIGTERM); },
            ORQ_SOURCE_LOCATION);
    });
    orq::test::run_bounded(*m_loop, [&] { m_loop->run(); });
    EXPECT_TRUE(signals->signal_is_received());
    EXPECT_EQ(results, std::vector<bool>{false});
    EXPECT_GE(took, 1400ms);
    EXPECT_LT(took, 8s);
    EXPECT_LT(longest_gap, 2s);
}

// Catches: a blocking or an asynchronous command that waits for good on a
// stopped server (or gives up long after the command time-out), pending
// commands left without their NIL, and a context that does not come back by
// itself once the server answers again.
TEST_F(redis_context_test, commands_against_a_stopped_server_fail_in_time_and_the_context_recovers) {
    auto context = connect(2);
    std::vector<std::pair<bool, std::string>> changes;
    context->set_connection_callback(
        [&](bool _connected, boost::string_view _reason) { changes.emplace_back(_connected, std::string(_reason)); });
    context->set_command_timeout(1s);
    m_server.pause();

    std::vector<redis::reply_type> got;
    auto handle = context->get("k")->execute_async();
    handle->set_callback([&](redis::reply _reply) { got.push_back(_reply.get_type()); });
    const auto start = std::chrono::steady_clock::now();
    const std::string error = error_of([&] { context->set("k", "v")->execute(); });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(error, "Command: SET, error: no reply within 1000 ms");
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 8s);
    ASSERT_TRUE(run_until([&] { return !got.empty() && !changes.empty(); }));
    run_ready();
    EXPECT_EQ(got, std::vector<redis::reply_type>{redis::reply_type::NIL});
    EXPECT_EQ(changes, (std::vector<std::pair<bool, std::string>>{{false, "no reply within 1000 ms"}}));
    // Down: both kinds fail at once.
    EXPECT_EQ(error_of([&] { context->get("k")->execute_async(); }), "Command: GET, error");
    EXPECT_EQ(error_of([&] { context->get("k")->execute(); }), "Command: GET, error: no reply within 1000 ms");

    // An asynchronous command alone times out the same way.
    m_server.resume();
    ASSERT_TRUE(run_until([&] { return changes.size() == 2; }));
    EXPECT_TRUE(changes[1].first);
    m_server.pause();
    got.clear();
    handle = context->get("k")->execute_async();
    handle->set_callback([&](redis::reply _reply) { got.push_back(_reply.get_type()); });
    const auto async_start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_until([&] { return !got.empty(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - async_start, 8s);
    EXPECT_EQ(got, std::vector<redis::reply_type>{redis::reply_type::NIL});

    m_server.resume();
    ASSERT_TRUE(run_until([&] { return changes.size() == 4; }));
    EXPECT_FALSE(changes[2].first);
    EXPECT_TRUE(changes[3].first);
    EXPECT_EQ(context->set("k", "v")->execute().to_string(), "OK");
    m_peer = std::make_unique<redis_peer>(m_server.port());
    m_peer->call({"SELECT", "2"});
    EXPECT_EQ(m_peer->call({"GET", "k"}), "v");
}

// Catches: a context that never recovers after the server restarts, changes
// not reported (or reported twice), a new connection left on database 0, and
// either kind of command still failing once the server is back.
TEST_F(redis_failure_test, a_restarted_server_is_reconnected_on_the_same_database) {
    auto context = connect(3);
    std::vector<bool> changes;
    context->set_connection_callback([&](bool _connected, boost::string_view) { changes.push_back(_connected); });
    m_peer.reset();
    m_server.kill();
    ASSERT_TRUE(run_until([&] { return !changes.empty(); }));
    EXPECT_EQ(error_of([&] { context->get("k")->execute_async(); }), "Command: GET, error");
    EXPECT_EQ(error_of([&] { context->get("k")->execute(); }).rfind("Command: GET, error: ", 0), 0u);
    const auto lost = m_syslog.wait_for("Connection to Redis 127.0.0.1:" + std::to_string(m_server.port()) + " lost: ");
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->level(), LOG_INFO);
    m_syslog.clear();
    // Some attempts fail before the server is back.
    run_until([] { return false; }, 1s);

    m_server.restart();
    ASSERT_TRUE(run_until([&] { return changes.size() == 2; }));
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));
    const auto connected =
        m_syslog.wait_for("Connected to Redis 127.0.0.1:" + std::to_string(m_server.port()) + " db 3");
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->level(), LOG_INFO);

    EXPECT_EQ(context->set("k", "v")->execute().to_string(), "OK");
    boost::optional<std::string> value;
    auto handle = context->get("k")->execute_async();
    handle->set_callback([&](redis::reply _reply) { value = _reply.to_string(); });
    ASSERT_TRUE(run_until([&] { return value.has_value(); }));
    EXPECT_EQ(*value, "v");
    m_peer = std::make_unique<redis_peer>(m_server.port());
    m_peer->call({"SELECT", "3"});
    EXPECT_EQ(m_peer->call({"GET", "k"}), "v");
    run_ready();
    EXPECT_EQ(changes.size(), 2u);
}

// Catches: a request larger than the socket takes at once cut short or sent
// twice (the rest must wait for writability), and commands queued meanwhile,
// from outside and from inside reply callbacks, sent out of order or left
// unsent.
TEST_F(redis_context_test, large_requests_go_out_whole_and_in_order_with_those_queued_meanwhile) {
    auto context = connect();
    const std::string big(8 << 20, 'x');
    std::vector<std::string> got;
    std::vector<async_operation_handle<redis::reply>::ptr> handles;
    const auto run = [&](redis::command::ptr _command, std::string _tag, std::function<void()> _then = nullptr) {
        auto handle = _command->execute_async();
        handle->set_callback([&got, _tag, _then](redis::reply _reply) {
            got.push_back(_tag + "=" +
                          (_reply.get_type() == redis::reply_type::INTEGER ? std::to_string(_reply.to_long_long())
                                                                           : _reply.to_string()));
            if (_then) {
                _then();
            }
        });
        handles.push_back(std::move(handle));
    };
    run(context->set("a", big), "set a", [&] {
        run(context->create_command({"STRLEN", "a"}), "strlen a");
        run(context->set("b", big), "set b");
    });
    run(context->create_command({"APPEND", "a", "!"}), "append a");
    ASSERT_TRUE(run_until([&] { return got.size() == 4; }, 60s));
    run(context->create_command({"STRLEN", "b"}), "strlen b");
    ASSERT_TRUE(run_until([&] { return got.size() == 5; }, 60s));
    const std::string whole = std::to_string(big.size());
    const std::string longer = std::to_string(big.size() + 1);
    EXPECT_EQ(got, (std::vector<std::string>{"set a=OK", "append a=" + longer, "strlen a=" + longer, "set b=OK",
                                             "strlen b=" + whole}));
    EXPECT_EQ(m_peer->call({"STRLEN", "a"}), longer);
}
