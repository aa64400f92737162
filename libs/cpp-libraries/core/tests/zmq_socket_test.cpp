// ZeroMQ sockets of an event loop (manager_impl, socket_impl) against plain
// cppzmq peers: creation and its failures, sending, the receive loop and its
// callback, multi-part messages, destruction.

#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/zmq/manager.hpp>

#include <impl/zmq/manager_impl.hpp>

#include "zmq_peers.hpp"

#include <boost/system/system_error.hpp>

#include <atomic>
#include <future>
#include <thread>

namespace core = orq::libs::core;
namespace ozmq = orq::libs::core::zmq;
using namespace orq::test::zmq_peers;
using ozmq::message;
using socket_type = ozmq::socket::type;

namespace {

class zmq_socket_test : public ::testing::Test {
protected:
    std::string bind_error(socket_type _type, const std::string& _address) {
        try {
            m_manager.bind(_type, _address);
        } catch (const core::exception& e) {
            return e.get_string_error();
        }
        return "no error";
    }

    // A pull socket bound to a fresh loopback port, with a plain push
    // connected to it.
    ozmq::socket::ptr bound_pull(plain_socket& _push) {
        held_ports window(1);
        const std::string port = std::to_string(window.port(0));
        window.release(0);
        auto socket = m_manager.bind(socket_type::pull, "tcp://127.0.0.1:*[" + port + "-" + port + "]");
        _push.connect("tcp://127.0.0.1:" + port);
        return socket;
    }

    core::logger m_logger{"zmq-socket-test", "test"};
    boost::asio::io_context m_io;
    ozmq::manager_impl m_manager{m_io, m_logger};
};

}  // namespace

// --- creation -------------------------------------------------------------

// Catches: a type outside push..rep mapped to some valid ZeroMQ type, or the
// failure reported as the library's exception after a bind took the port.
TEST_F(zmq_socket_test, unknown_type_fails_with_a_system_error_before_binding) {
    held_ports window(1);
    const std::string port = std::to_string(window.port(0));
    window.release(0);
    const std::string address = "tcp://127.0.0.1:*[" + port + "-" + port + "]";
    try {
        m_manager.bind(static_cast<socket_type>(5), address);
        FAIL() << "no error";
    } catch (const boost::system::system_error& e) {
        EXPECT_STREQ(e.code().category().name(), "ZeroMQ");
        EXPECT_EQ(e.code().value(), EINVAL);
    }
    EXPECT_NO_THROW(m_manager.bind(socket_type::pull, address));
}

// Catches: failure messages that differ from the documented texts.
TEST_F(zmq_socket_test, connect_and_bind_failures_name_the_address_and_the_zeromq_error) {
    try {
        m_manager.connect(socket_type::push, "nonsense");
        FAIL() << "no error";
    } catch (const core::exception& e) {
        EXPECT_EQ(e.get_string_error(),
                  std::string("zmq::socket_impl::connect to nonsense: ") + ::zmq_strerror(EINVAL));
    }
    plain_socket first(::zmq::socket_type::pull);
    const std::string taken = first.bind_loopback();
    EXPECT_EQ(bind_error(socket_type::pull, taken),
              "zmq::socket_impl::bind to " + taken + ": " + ::zmq_strerror(EADDRINUSE));
    EXPECT_EQ(bind_error(socket_type::pub, "tcp://127.0.0.1:*[7-5]"),
              std::string("zmq::socket_impl::bind to tcp://127.0.0.1:*[7-5]: ") + ::zmq_strerror(EINVAL));
}

// --- sending ----------------------------------------------------------------

// Catches: a connect that fails without a listener, a try_send that blocks or
// throws without peers, a send that does not wait for the first peer (or never
// stops waiting), and multi-part flags lost.
TEST_F(zmq_socket_test, push_without_peers_then_with_one) {
    EXPECT_NO_THROW(
        m_manager.connect(socket_type::push, "tcp://127.0.0.1:" + std::to_string(orq::test::free_tcp_port())));

    held_ports window(1);
    const std::string port = std::to_string(window.port(0));
    window.release(0);
    auto push = m_manager.bind(socket_type::push, "tcp://127.0.0.1:*[" + port + "-" + port + "]");
    EXPECT_FALSE(push->try_send(message("dropped")));

    std::atomic<pid_t> sender_thread{0};
    auto sent = std::async(std::launch::async, [&] {
        sender_thread = current_thread_id();
        push->send(message("first"), ozmq::flags::sndmore);
        push->send(message("second"));
    });
    ASSERT_TRUE(orq::test::wait_until([&] { return sender_thread != 0 && blocked_in_poll(sender_thread); }));
    EXPECT_EQ(sent.wait_for(0s), std::future_status::timeout);

    plain_socket pull(::zmq::socket_type::pull);
    pull.connect("tcp://127.0.0.1:" + port);
    ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(pull.receive(), "first");
    EXPECT_TRUE(pull.get().get(::zmq::sockopt::rcvmore));
    EXPECT_EQ(pull.receive(), "second");
    EXPECT_TRUE(push->try_send(message("third")));
    EXPECT_EQ(pull.receive(), "third");
}

// --- the receive loop ---------------------------------------------------------

// Catches: receiving before a callback is set (frames would be lost), and
// frames not kept by ZeroMQ until then.
TEST_F(zmq_socket_test, without_a_callback_nothing_is_received_and_frames_wait) {
    plain_socket push(::zmq::socket_type::push);
    auto pull = bound_pull(push);
    for (int i = 0; i < 3; ++i) {
        push.send(std::to_string(i));
    }
    m_io.run_for(200ms);

    std::vector<std::string> got;
    pull->set_receive_callback([&](message& _frame) { got.push_back(_frame.string()); });
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 3; }));
    EXPECT_EQ(got, (std::vector<std::string>{"0", "1", "2"}));
}

// Catches: a second receive loop started by the second call (frames then go
// twice through the callbacks or out of order), or the old callback still
// called.
TEST_F(zmq_socket_test, second_callback_replaces_the_first) {
    plain_socket push(::zmq::socket_type::push);
    auto pull = bound_pull(push);
    std::vector<std::string> first;
    std::vector<std::string> second;
    pull->set_receive_callback([&](message& _frame) { first.push_back(_frame.string()); });
    push.send("a");
    ASSERT_TRUE(run_until(m_io, [&] { return first.size() == 1; }));
    pull->set_receive_callback([&](message& _frame) { second.push_back(_frame.string()); });
    for (int i = 0; i < 50; ++i) {
        push.send(std::to_string(i));
    }
    ASSERT_TRUE(run_until(m_io, [&] { return second.size() == 50; }));
    m_io.run_for(100ms);
    EXPECT_EQ(first, std::vector<std::string>{"a"});
    ASSERT_EQ(second.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(second[i], std::to_string(i));
    }
}

// Catches: a callback that replaces itself while it runs and so destroys the
// function object it is executing (use after free under ASan).
TEST_F(zmq_socket_test, callback_may_replace_itself_while_running) {
    plain_socket push(::zmq::socket_type::push);
    auto pull = bound_pull(push);
    std::vector<std::string> got;
    const std::string big_capture(256, 'c');
    pull->set_receive_callback([&, big_capture](message& _frame) {
        pull->set_receive_callback([&](message& _next) { got.push_back("new " + _next.string()); });
        got.push_back(big_capture.substr(0, 1) + " " + _frame.string());
    });
    push.send("1");
    push.send("2");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 2; }));
    EXPECT_EQ(got, (std::vector<std::string>{"c 1", "new 2"}));
}

// Catches: the callback called through a copy per frame, so that a callback
// with state (a mutable lambda) never sees its own state again.
TEST_F(zmq_socket_test, callback_keeps_its_state_across_frames) {
    plain_socket push(::zmq::socket_type::push);
    auto pull = bound_pull(push);
    std::vector<int> seen;
    pull->set_receive_callback([&seen, count = 0](message&) mutable { seen.push_back(++count); });
    push.send("1");
    push.send("2");
    push.send("3");
    ASSERT_TRUE(run_until(m_io, [&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

// Catches: an empty callback accepted (it would throw at every frame inside
// the loop).
TEST_F(zmq_socket_test, empty_callback_is_refused) {
    plain_socket push(::zmq::socket_type::push);
    auto pull = bound_pull(push);
    EXPECT_THROW(pull->set_receive_callback(ozmq::socket::callback()), core::exception);
    std::vector<std::string> got;
    pull->set_receive_callback([&](message& _frame) { got.push_back(_frame.string()); });
    push.send("x");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 1; }));
}

// Catches: an exception from the callback that ends receiving, or a next
// frame that is not delivered after the loop has seen the exception.
TEST_F(zmq_socket_test, throwing_callback_gets_the_next_frame) {
    plain_socket push(::zmq::socket_type::push);
    auto pull = bound_pull(push);
    std::vector<std::string> got;
    pull->set_receive_callback([&](message& _frame) {
        got.push_back(_frame.string());
        if (got.size() == 1) {
            throw std::runtime_error("from the callback");
        }
    });
    push.send("one");
    push.send("two");
    EXPECT_THROW(run_until(
                     m_io, [] { return false; }, 5s),
                 std::runtime_error);
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 2; }));
    EXPECT_EQ(got[1], "two");
}

// Catches: frames of a message lost or reordered, receive_more that waits
// although the frames are there, and frames left unread not delivered later.
TEST_F(zmq_socket_test, multi_part_messages_with_and_without_receive_more) {
    plain_socket push(::zmq::socket_type::push);
    auto pull = bound_pull(push);
    bool read_rest = true;
    std::vector<std::string> got;
    std::vector<bool> more;
    pull->set_receive_callback([&](message& _frame) {
        got.push_back(_frame.string());
        more.push_back(_frame.more());
        if (read_rest) {
            while (more.back()) {
                message next = pull->receive_more();
                got.push_back(next.string());
                more.push_back(next.more());
            }
        }
    });
    push.send("a1", ::zmq::send_flags::sndmore);
    push.send("a2", ::zmq::send_flags::sndmore);
    push.send("a3");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 3; }));
    EXPECT_EQ(got, (std::vector<std::string>{"a1", "a2", "a3"}));
    EXPECT_EQ(more, (std::vector<bool>{true, true, false}));

    read_rest = false;
    got.clear();
    more.clear();
    push.send(std::string("b1\0", 3), ::zmq::send_flags::sndmore);
    push.send("", ::zmq::send_flags::sndmore);
    push.send("b3");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 3; }));
    EXPECT_EQ(got, (std::vector<std::string>{std::string("b1\0", 3), "", "b3"}));
    EXPECT_EQ(more, (std::vector<bool>{true, true, false}));
}

// Catches: a reply socket whose loop dies when the next receive comes before
// the reply, and a request socket whose receive fails before its request.
TEST_F(zmq_socket_test, request_and_reply_sockets) {
    held_ports window(1);
    const std::string port = std::to_string(window.port(0));
    window.release(0);
    auto rep = m_manager.bind(socket_type::rep, "tcp://127.0.0.1:*[" + port + "-" + port + "]");
    rep->set_receive_callback([&](message& _request) { rep->send(message("re: " + _request.string())); });
    plain_socket client(::zmq::socket_type::req);
    client.connect("tcp://127.0.0.1:" + port);

    auto served = std::async(std::launch::async, [&] {
        std::vector<std::string> replies;
        for (int i = 0; i < 3; ++i) {
            client.send(std::to_string(i));
            replies.push_back(client.receive().value_or("timeout"));
        }
        return replies;
    });
    ASSERT_TRUE(run_until(m_io, [&] { return served.wait_for(0s) == std::future_status::ready; }));
    EXPECT_EQ(served.get(), (std::vector<std::string>{"re: 0", "re: 1", "re: 2"}));

    plain_socket server(::zmq::socket_type::rep);
    auto req = m_manager.connect(socket_type::req, server.bind_loopback());
    std::vector<std::string> answers;
    req->set_receive_callback([&](message& _reply) { answers.push_back(_reply.string()); });
    m_io.restart();
    m_io.poll();
    req->send(message("question"));
    EXPECT_EQ(server.receive(), "question");
    server.send("answer");
    ASSERT_TRUE(run_until(m_io, [&] { return answers.size() == 1; }));
    EXPECT_EQ(answers[0], "answer");
}

// --- destruction ---------------------------------------------------------------

// Catches: a callback called after destruction, the cancellation logged as an
// error, and a loop kept busy by the destroyed socket.
TEST_F(zmq_socket_test, destroyed_with_a_receive_pending_calls_and_logs_nothing) {
    log_capture log(m_logger);
    plain_socket push(::zmq::socket_type::push);
    auto pull = bound_pull(push);
    int calls = 0;
    pull->set_receive_callback([&](message&) { ++calls; });
    m_io.restart();
    m_io.poll();
    pull.reset();
    push.send("too late");
    m_io.restart();
    auto finished = std::async(std::launch::async, [&] { m_io.run(); });
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(log.lines().empty());
}

// Catches: a thread blocked in send or receive_more that destruction on
// another thread does not wake: it would go on waiting on a descriptor libzmq
// has released, in socket state freed under it.
TEST_F(zmq_socket_test, destruction_wakes_threads_blocked_in_send_and_receive) {
    for (const bool sending : {true, false}) {
        SCOPED_TRACE(sending ? "send" : "receive_more");
        // A bound push without peers cannot send; nothing reaches the pull.
        auto socket = m_manager.bind(sending ? socket_type::push : socket_type::pull, "tcp://127.0.0.1:*");
        // Keeps the shared context alive: its termination would wake the
        // thread by chance.
        auto other = m_manager.bind(socket_type::pull, "tcp://127.0.0.1:*");
        std::atomic<pid_t> thread_id{0};
        std::promise<int> error;
        std::future<int> returned = error.get_future();
        std::thread blocked([&, raw = socket.get()] {
            thread_id = current_thread_id();
            try {
                if (sending) {
                    raw->send(message("never"));
                } else {
                    raw->receive_more();
                }
                error.set_value(0);
            } catch (const boost::system::system_error& e) {
                error.set_value(e.code().value());
            }
        });
        EXPECT_TRUE(orq::test::wait_until([&] { return thread_id != 0 && blocked_in_poll(thread_id); }));
        socket.reset();
        const bool woken = returned.wait_for(1s) == std::future_status::ready;
        if (!woken) {
            blocked.detach();  // still blocked: nothing else can end it
            ADD_FAILURE() << "the blocked thread did not return";
            continue;
        }
        blocked.join();
        EXPECT_EQ(returned.get(), ENOTSOCK);
    }
}
