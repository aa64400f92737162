// Topic-subscription message streams over a plain cppzmq publisher: topic
// matching and dispatch, subscription lifetimes, callbacks that subscribe,
// throw or destroy the stream, and the JSON stream's topic and body rules.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/message_stream.hpp>

#include <impl/message_stream_zmq.hpp>
#include <impl/message_stream_zmq_raw.hpp>

#include "zmq_peers.hpp"

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <future>
#include <memory>

namespace core = orq::libs::core;
using namespace orq::test::zmq_peers;
using core::message_stream;

namespace {

using frames = std::vector<std::string>;

// Appends every message it gets, prefixed with its name.
message_stream::callback recorder(frames& _into, const std::string& _name = "") {
    return [&_into, _name](boost::string_view _message) { _into.push_back(_name + std::string(_message)); };
}

class message_stream_test : public ::testing::Test {
protected:
    message_stream_test() : m_endpoint(m_publisher.bind_loopback()) {}

    // Makes sure the publisher has taken in every subscription made so far:
    // ZeroMQ forwards a subscriber's subscriptions in order, so once a frame
    // of a topic subscribed last arrives, the earlier ones are active too.
    // Ends with a marker so that no probe is still on its way afterwards.
    // Probes carry a body in braces, so that the JSON stream passes them on.
    void join(message_stream& _stream) {
        const std::string topic = "\x02sync" + std::to_string(++m_joins);
        bool seen = false;
        bool ended = false;
        auto probe = _stream.subscribe(
            topic, [&](boost::string_view _message) { (_message.ends_with("{e}") ? ended : seen) = true; });
        ASSERT_TRUE(send_until_seen(
            m_io, [&] { m_publisher.send(topic + "{p}"); }, [&] { return seen; }));
        m_publisher.send(topic + "{e}");
        ASSERT_TRUE(run_until(m_io, [&] { return ended; }));
    }

    // The same for a stream that has subscribed everything: the probes come
    // to the test's own callbacks, which record into _frames.
    void join_all(frames& _frames, const std::string& _prefix = "") {
        const std::string probe = "\x02probe";
        const auto has = [&](const std::string& _frame) {
            return std::find(_frames.begin(), _frames.end(), _prefix + _frame) != _frames.end();
        };
        ASSERT_TRUE(send_until_seen(
            m_io, [&] { m_publisher.send(probe); }, [&] { return has(probe); }));
        m_publisher.send(probe + "end");
        ASSERT_TRUE(run_until(m_io, [&] { return has(probe + "end"); }));
        _frames.clear();
    }

    // Publishes the frames, then an end marker on the marker topic, and runs
    // the loop until the marker has arrived at _marker_seen.
    void publish_and_wait(const frames& _frames, message_stream& _stream) {
        const std::string marker = "\x03marker" + std::to_string(++m_markers);
        bool seen = false;
        auto subscription = _stream.subscribe(marker, [&](boost::string_view) { seen = true; });
        join(_stream);
        for (const auto& frame : _frames) {
            m_publisher.send(frame);
        }
        m_publisher.send(marker + "{}");
        ASSERT_TRUE(run_until(m_io, [&] { return seen; }));
    }

    core::logger m_logger{"message-stream-test", "test"};
    boost::asio::io_context m_io;
    plain_socket m_publisher{::zmq::socket_type::pub};
    std::string m_endpoint;
    int m_joins = 0;
    int m_markers = 0;
};

}  // namespace

// --- raw stream: what arrives where -------------------------------------------

// Catches: frames delivered without any subscription (the subscriber must
// filter everything until the first one).
TEST_F(message_stream_test, raw_stream_without_subscriptions_receives_nothing) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    m_io.run_for(100ms);
    for (int i = 0; i < 20; ++i) {
        m_publisher.send("early");
        m_io.run_for(5ms);
    }
    frames got;
    auto all = stream.subscribe("", recorder(got));
    join_all(got);
    m_publisher.send("late");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 1; }));
    EXPECT_EQ(got, frames{"late"});
}

// Catches: the topic stripped from the frame, frames cut at NUL bytes, and the
// empty frame or the empty topic mishandled.
TEST_F(message_stream_test, empty_topic_delivers_every_frame_whole) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    frames got;
    auto all = stream.subscribe("", recorder(got));
    join_all(got);
    const frames sent{"topic body", std::string("a\0b", 3), "", "\n", "&module:component line"};
    for (const auto& frame : sent) {
        m_publisher.send(frame);
    }
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == sent.size(); }));
    EXPECT_EQ(got, sent);
}

// Catches: a longer topic's callbacks called as well as (or instead of) the
// shortest one's, a walk that stops at the first non-matching topic, and
// frames that match nothing delivered anyway.
TEST_F(message_stream_test, only_the_shortest_matching_topic_is_called) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    frames got;
    auto a = stream.subscribe("a", recorder(got, "a:"));
    auto ab = stream.subscribe("ab", recorder(got, "ab:"));
    auto b = stream.subscribe("b", recorder(got, "b:"));
    publish_and_wait({"abc", "ab", "a", "b1", "xyz", "", "A"}, stream);
    EXPECT_EQ(got, (frames{"a:abc", "a:ab", "a:a", "b:b1"}));
}

// Catches: subscriptions beyond the subscriber's send high-water mark dropped
// on their way to the publisher, when the connection is made and when it is
// made again after the publisher restarts (then the last topics are silent).
TEST_F(message_stream_test, every_topic_of_thousands_reaches_the_publisher_also_after_a_restart) {
    auto publisher = std::make_unique<plain_socket>(::zmq::socket_type::pub);
    const std::string endpoint = publisher->bind_loopback();
    core::message_stream_zmq_raw stream(m_io, m_logger, endpoint);
    std::vector<message_stream::subscription::ptr> held;
    for (int i = 0; i < 2999; ++i) {
        held.push_back(stream.subscribe("&topic-" + std::to_string(i) + ":", [](boost::string_view) {}));
    }
    frames got;
    held.push_back(stream.subscribe("&last", recorder(got)));
    const auto has = [&](const std::string& _frame) { return std::find(got.begin(), got.end(), _frame) != got.end(); };
    EXPECT_TRUE(send_until_seen(
        m_io, [&] { publisher->send("&last before"); }, [&] { return has("&last before"); }));

    publisher.reset();
    publisher = std::make_unique<plain_socket>(::zmq::socket_type::pub);
    // The port is free again once the old publisher's context has ended; a
    // bind that still fails is retried.
    ASSERT_TRUE(orq::test::wait_until([&] {
        try {
            publisher->bind(endpoint);
            return true;
        } catch (const ::zmq::error_t&) {
            return false;
        }
    }));
    EXPECT_TRUE(send_until_seen(
        m_io, [&] { publisher->send("&last after"); }, [&] { return has("&last after"); }));
}

// Catches: the second subscription to a topic replacing the first, callbacks
// called out of subscription order, and a second ZeroMQ subscription of the
// same topic (seen by an XPUB publisher, which reports each one).
TEST_F(message_stream_test, same_topic_twice_calls_both_in_order_and_subscribes_once) {
    plain_socket xpub(::zmq::socket_type::xpub);
    xpub.get().set(::zmq::sockopt::xpub_verbose, 1);
    const std::string endpoint = xpub.bind_loopback();
    core::message_stream_zmq_raw stream(m_io, m_logger, endpoint);
    frames got;
    auto first = stream.subscribe("t", recorder(got, "1:"));
    auto second = stream.subscribe("t", recorder(got, "2:"));
    auto other = stream.subscribe("u", recorder(got, "u:"));
    // Subscriptions reach the publisher in order: the one of "u" comes last.
    frames subscriptions;
    while (subscriptions.empty() || subscriptions.back() != "\x01u") {
        auto message = xpub.receive();
        ASSERT_TRUE(message);
        subscriptions.push_back(*message);
    }
    EXPECT_EQ(subscriptions, (frames{"\x01t", "\x01u"}));
    xpub.send("t1");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 2; }));
    EXPECT_EQ(got, (frames{"1:t1", "2:t1"}));
}

// --- subscription lifetimes --------------------------------------------------------

// Catches: a callback still called after its subscription was destroyed, for
// a frame already received (here destroyed by an earlier callback of the same
// frame), and order lost when stale entries are pruned.
TEST_F(message_stream_test, destroyed_subscription_is_silent_at_once) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    frames got;
    message_stream::subscription::ptr second;
    auto first = stream.subscribe("t", [&](boost::string_view _message) {
        got.push_back("1:" + std::string(_message));
        second.reset();
    });
    second = stream.subscribe("t", recorder(got, "2:"));
    auto third = stream.subscribe("t", recorder(got, "3:"));
    publish_and_wait({"t1", "t2"}, stream);
    EXPECT_EQ(got, (frames{"1:t1", "3:t1", "1:t2", "3:t2"}));

    got.clear();
    first.reset();
    auto fourth = stream.subscribe("t", recorder(got, "4:"));
    publish_and_wait({"t3"}, stream);
    EXPECT_EQ(got, (frames{"3:t3", "4:t3"}));
}

// Catches: a callback destroyed while it runs when it ends its own
// subscription (use after free under ASan), or a callback (and what it holds)
// kept after its subscription ended.
TEST_F(message_stream_test, ending_a_subscription_releases_its_callback) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    auto held = std::make_shared<std::string>("held");
    const std::weak_ptr<std::string> watch = held;
    auto idle = stream.subscribe("u", [held](boost::string_view) {});
    frames got;
    message_stream::subscription::ptr self;
    self = stream.subscribe("t", [&, held](boost::string_view) {
        self.reset();
        got.push_back(*held);
    });
    held.reset();
    idle.reset();
    EXPECT_FALSE(watch.expired());
    publish_and_wait({"t1", "t2"}, stream);
    EXPECT_EQ(got, frames{"held"});
    EXPECT_TRUE(watch.expired());
}

// Catches: a topic whose subscriptions are all gone being unsubscribed or
// taken out of the matching (then a longer topic would get its frames).
TEST_F(message_stream_test, topic_without_subscriptions_still_matches_and_drops) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    frames got;
    auto x = stream.subscribe("x", recorder(got, "x:"));
    auto xy = stream.subscribe("xy", recorder(got, "xy:"));
    x.reset();
    publish_and_wait({"xy1", "x1"}, stream);
    EXPECT_TRUE(got.empty());

    // The empty topic, once subscribed and dropped, silences every other.
    auto all = stream.subscribe("", recorder(got, "all:"));
    join_all(got, "all:");
    all.reset();
    auto t = stream.subscribe("t", recorder(got, "t:"));
    m_publisher.send("t1");
    m_publisher.send("xy2");
    m_io.run_for(200ms);
    EXPECT_TRUE(got.empty());
}

// Catches: subscriptions that touch their stream when destroyed after it (use
// after free under ASan).
TEST_F(message_stream_test, subscriptions_may_outlive_the_stream) {
    frames got;
    auto stream = std::make_unique<core::message_stream_zmq_raw>(m_io, m_logger, m_endpoint);
    auto a = stream->subscribe("a", recorder(got));
    auto b = stream->subscribe("a", recorder(got));
    stream.reset();
    a.reset();
    m_io.restart();
    m_io.run();
    b.reset();
    EXPECT_TRUE(got.empty());
}

// --- callbacks that act on the stream ---------------------------------------------

// Catches: a callback subscribed during a dispatch called for that same frame,
// or iteration over a vector that the new subscription reallocated.
TEST_F(message_stream_test, callback_subscribing_the_same_topic_takes_effect_from_the_next_frame) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    frames got;
    std::vector<message_stream::subscription::ptr> added;
    auto first = stream.subscribe("t", [&](boost::string_view _message) {
        got.push_back("1:" + std::string(_message));
        for (int i = 0; i < 20; ++i) {
            added.push_back(stream.subscribe("t", recorder(got, "new:")));
        }
    });
    publish_and_wait({"t1"}, stream);
    EXPECT_EQ(got, frames{"1:t1"});
    added.resize(1);
    first.reset();
    publish_and_wait({"t2"}, stream);
    EXPECT_EQ(got, (frames{"1:t1", "new:t2"}));
}

// Catches: topics of several lengths looked up longest first or only among
// the lengths known before the dispatch: a shorter topic of a new length,
// subscribed by a callback, takes the frames from the next one on.
TEST_F(message_stream_test, callback_subscribing_a_shorter_topic_takes_the_next_frames) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    frames got;
    message_stream::subscription::ptr shorter;
    auto longer = stream.subscribe("abc", [&](boost::string_view _message) {
        got.push_back("abc:" + std::string(_message));
        if (!shorter) {
            shorter = stream.subscribe("a", recorder(got, "a:"));
        }
    });
    auto other = stream.subscribe("abcd", recorder(got, "abcd:"));
    auto unrelated = stream.subscribe("xy", recorder(got, "xy:"));
    publish_and_wait({"abcd1", "ab", "xyz"}, stream);
    publish_and_wait({"abcd2", "ab", "a"}, stream);
    EXPECT_EQ(got, (frames{"abc:abcd1", "xy:xyz", "a:abcd2", "a:ab", "a:a"}));
}

// Catches: an exception that ends receiving, or one after which the remaining
// callbacks of the same frame still run.
TEST_F(message_stream_test, throwing_callback_skips_the_rest_of_that_frame_only) {
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    frames got;
    auto first = stream.subscribe("t", [&](boost::string_view _message) {
        got.push_back("1:" + std::string(_message));
        if (_message == "t1") {
            throw std::runtime_error("callback failure");
        }
    });
    auto second = stream.subscribe("t", recorder(got, "2:"));
    join(stream);
    m_publisher.send("t1");
    m_publisher.send("t2");
    EXPECT_THROW(run_until(
                     m_io, [] { return false; }, 10s),
                 std::runtime_error);
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 3; }));
    EXPECT_EQ(got, (frames{"1:t1", "1:t2", "2:t2"}));
}

// What was logged besides the stream's connection reports ("Connected to",
// "Connection to ... lost"), which come and go with the publisher.
static std::vector<std::string> lines_but_connections(log_capture& _log) {
    std::vector<std::string> lines = _log.lines();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& _line) {
                                   return _line.find(" Connected to ") != std::string::npos ||
                                          _line.find(" Connection to ") != std::string::npos;
                               }),
                lines.end());
    return lines;
}

// Catches: a stream destroyed by its own callback that then crashes (use
// after free under ASan), skips the frame's remaining callbacks, delivers
// later frames, or logs the cancellation.
TEST_F(message_stream_test, callback_destroying_the_stream) {
    log_capture log(m_logger);
    auto stream = std::make_unique<core::message_stream_zmq_raw>(m_io, m_logger, m_endpoint);
    frames got;
    auto first = stream->subscribe("t", [&](boost::string_view _message) {
        got.push_back("1:" + std::string(_message));
        stream.reset();
    });
    auto second = stream->subscribe("t", recorder(got, "2:"));
    join(*stream);
    m_publisher.send("t1");
    m_publisher.send("t2");
    m_publisher.send("t3");
    m_io.restart();
    auto finished = std::async(std::launch::async, [&] { m_io.run(); });
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(got, (frames{"1:t1", "2:t1"}));
    EXPECT_EQ(lines_but_connections(log), std::vector<std::string>{});
}

// --- failures ---------------------------------------------------------------------

// Catches: a connect failure wrapped in the library's exception (the stream
// reports ZeroMQ's error as it is), and empty callbacks accepted.
TEST_F(message_stream_test, connect_failure_and_empty_callback) {
    try {
        core::message_stream_zmq_raw stream(m_io, m_logger, "nonsense");
        FAIL() << "no error";
    } catch (const boost::system::system_error& e) {
        EXPECT_STREQ(e.code().category().name(), "ZeroMQ");
        EXPECT_EQ(e.code().value(), EINVAL);
    }
    core::message_stream_zmq_raw stream(m_io, m_logger, m_endpoint);
    EXPECT_THROW(stream.subscribe("t", message_stream::callback()), core::exception);
    core::message_stream_zmq json(m_io, m_logger, m_endpoint);
    EXPECT_THROW(json.subscribe("t", message_stream::callback()), core::exception);
}

// Catches: a destroyed stream that keeps the loop busy or logs its
// cancellation.
TEST_F(message_stream_test, destroyed_stream_lets_the_loop_finish_quietly) {
    log_capture log(m_logger);
    auto stream = std::make_unique<core::message_stream_zmq_raw>(m_io, m_logger, m_endpoint);
    frames got;
    auto all = stream->subscribe("", recorder(got));
    m_io.restart();
    auto finished = std::async(std::launch::async, [&] { m_io.run(); });
    EXPECT_EQ(finished.wait_for(100ms), std::future_status::timeout);
    boost::asio::post(m_io, [&] { stream.reset(); });
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(lines_but_connections(log), std::vector<std::string>{});
}

// --- the JSON stream ---------------------------------------------------------------

// Catches: "#" put before topics that do not start with an ASCII letter (or
// missing before those that do).
TEST_F(message_stream_test, json_stream_topics) {
    using core::message_stream_zmq;
    EXPECT_EQ(message_stream_zmq::topic_of("prices"), "#prices");
    EXPECT_EQ(message_stream_zmq::topic_of("Z"), "#Z");
    EXPECT_EQ(message_stream_zmq::topic_of("&vusk-data-adapter"), "&vusk-data-adapter");
    EXPECT_EQ(message_stream_zmq::topic_of(""), "");
    EXPECT_EQ(message_stream_zmq::topic_of("1abc"), "1abc");
    EXPECT_EQ(message_stream_zmq::topic_of("#x"), "#x");
    EXPECT_EQ(message_stream_zmq::topic_of("\xc3\xa9t\xc3\xa9"), "\xc3\xa9t\xc3\xa9");

    plain_socket xpub(::zmq::socket_type::xpub);
    const std::string endpoint = xpub.bind_loopback();
    message_stream_zmq stream(m_io, m_logger, endpoint);
    auto a = stream.subscribe("prices", [](boost::string_view) {});
    auto b = stream.subscribe("&vusk-data-adapter", [](boost::string_view) {});
    EXPECT_EQ(xpub.receive(), "\x01#prices");
    EXPECT_EQ(xpub.receive(), "\x01&vusk-data-adapter");
}

// Catches: a body cut anywhere but at the first "{", frames without a body
// delivered, and topic bytes handed to the callback.
TEST_F(message_stream_test, json_stream_hands_out_the_body) {
    core::message_stream_zmq stream(m_io, m_logger, m_endpoint);
    frames got;
    auto prices = stream.subscribe("prices", recorder(got));
    publish_and_wait({"#prices {\"a\":1}", "#prices no body", "#prices x{\"b\":{}}\n", "#prices{}", "prices {}"},
                     stream);
    EXPECT_EQ(got, (frames{"{\"a\":1}", "{\"b\":{}}\n", "{}"}));
}

// Catches: the loop's factory of JSON streams not wired to the JSON stream
// (the raw one would hand out topic bytes), or not reading at its address.
TEST_F(message_stream_test, json_stream_from_the_loop_factory_end_to_end) {
    const auto library = core::core::create(m_logger);
    const auto loop = library->create_events_loop("main loop");
    const auto stream = loop->create_zmq_message_stream(m_endpoint);
    frames got;
    auto prices = stream->subscribe("prices", recorder(got));
    ASSERT_TRUE(send_until_seen(
        loop->get_io_context(), [&] { m_publisher.send("#prices {\"a\":1}"); }, [&] { return !got.empty(); }));
    EXPECT_EQ(got.front(), "{\"a\":1}");
}
