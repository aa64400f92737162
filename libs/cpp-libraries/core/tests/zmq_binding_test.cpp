// The library's own binding of libzmq sockets to Boost.Asio, against plain
// cppzmq peers: frames, errors, the shared context, the dynamic bind forms,
// blocking and asynchronous operations, lost-wakeup races and teardown.

#include <impl/zmq/asio_socket.hpp>
#include <impl/zmq/context.hpp>
#include <impl/zmq/endpoint.hpp>
#include <impl/zmq/error.hpp>

#include "zmq_peers.hpp"

#include <boost/asio/post.hpp>
#include <boost/optional.hpp>
#include <boost/system/system_error.hpp>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

namespace ozmq = orq::libs::core::zmq;
using namespace orq::test::zmq_peers;
using ozmq::message;
using ozmq::detail::asio_socket;

namespace {

int error_of(const std::function<void()>& _action) {
    try {
        _action();
    } catch (const boost::system::system_error& e) {
        EXPECT_STREQ(e.code().category().name(), "ZeroMQ");
        return e.code().value();
    }
    return 0;
}

struct received {
    boost::system::error_code error;
    std::string bytes;
    bool more = false;
};

// Starts one asynchronous receive that appends its result to _into.
void receive_into(asio_socket& _socket, std::vector<received>& _into) {
    _socket.async_receive([&_into](const boost::system::error_code& _error, message& _frame) {
        _into.push_back({_error, _frame.string(), _frame.more()});
    });
}

// True once the thread waits for good: blocked in poll and without progress
// for a while (a sender at the high-water mark waits briefly a few times
// before, while libzmq moves frames into the kernel's buffers).
bool blocked_for_good(const std::atomic<pid_t>& _thread, const std::atomic<int>& _progress) {
    int last = -1;
    auto unchanged_since = std::chrono::steady_clock::now();
    return orq::test::wait_until([&] {
        const int now_progress = _progress;
        const auto now = std::chrono::steady_clock::now();
        if (_thread == 0 || !blocked_in_poll(_thread) || now_progress != last) {
            last = now_progress;
            unchanged_since = now;
            return false;
        }
        return now - unchanged_since > 100ms;
    });
}

}  // namespace

// --- message -------------------------------------------------------------

// Catches: frames cut at a NUL (C-string handling), moves that share or lose
// the frame (double free under ASan).
TEST(zmq_message, keeps_every_byte_and_moves_ownership) {
    const std::string bytes("a\0b\nc\xff", 6);
    message from_string(bytes);
    EXPECT_EQ(from_string.size(), 6u);
    EXPECT_EQ(from_string.string(), bytes);

    const std::vector<std::uint8_t> raw{0, 1, 2, 255};
    message from_range(raw);
    ASSERT_EQ(from_range.size(), 4u);
    EXPECT_EQ(static_cast<const std::uint8_t*>(from_range.data())[3], 255);

    message moved(std::move(from_string));
    EXPECT_EQ(moved.string(), bytes);
    EXPECT_EQ(from_string.size(), 0u);
    from_range = std::move(moved);
    EXPECT_EQ(from_range.string(), bytes);
    EXPECT_EQ(message().size(), 0u);
}

// --- errors --------------------------------------------------------------

// Catches: a wrong category name, or messages that are not libzmq's own texts
// (ZeroMQ's private error numbers included).
TEST(zmq_error, category_is_zeromq_with_zmq_strerror_texts) {
    const auto in_use = ozmq::detail::make_error_code(EADDRINUSE);
    EXPECT_STREQ(in_use.category().name(), "ZeroMQ");
    EXPECT_EQ(in_use.message(), ::zmq_strerror(EADDRINUSE));
    EXPECT_EQ(ozmq::detail::make_error_code(EFSM).message(), ::zmq_strerror(EFSM));
}

// Catches: an unknown socket type or a malformed endpoint accepted silently.
TEST(zmq_error, creation_and_connect_failures_throw_zeromq_errors) {
    boost::asio::io_context io;
    EXPECT_EQ(error_of([&] { asio_socket bad(io, -1); }), EINVAL);
    asio_socket socket(io, ZMQ_PUSH);
    EXPECT_EQ(error_of([&] { socket.connect("nonsense"); }), EINVAL);
    EXPECT_EQ(error_of([&] { socket.connect("carrier-pigeon://x"); }), EPROTONOSUPPORT);
}

// Catches: errors that do not say which call failed and on which endpoint
// (so callers had to wrap them to be understood).
TEST(zmq_error, messages_name_the_call_and_the_endpoint) {
    boost::asio::io_context io;
    asio_socket first(io, ZMQ_PULL);
    first.bind("tcp://127.0.0.1:*");
    const std::string taken = first.last_endpoint();
    asio_socket second(io, ZMQ_PULL);
    const auto what_of = [](const std::function<void()>& _action) {
        try {
            _action();
        } catch (const boost::system::system_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    const auto starts_with = [](const std::string& _text, const std::string& _prefix) {
        return _text.compare(0, _prefix.size(), _prefix) == 0;
    };
    const std::string in_use = what_of([&] { second.bind(taken); });
    EXPECT_TRUE(starts_with(in_use, "zmq_bind " + taken + ": " + ::zmq_strerror(EADDRINUSE))) << in_use;
    const std::string pigeon = what_of([&] { second.connect("carrier-pigeon://x"); });
    EXPECT_TRUE(starts_with(pigeon, std::string("zmq_connect carrier-pigeon://x: ") + ::zmq_strerror(EPROTONOSUPPORT)))
        << pigeon;
    const std::string range = what_of([&] { second.bind("tcp://h:*[200-100]"); });
    EXPECT_TRUE(starts_with(range, std::string("zmq_bind tcp://h:*[200-100]: ") + ::zmq_strerror(EINVAL))) << range;
}

// Catches: a closed socket that answers synchronous calls with one error and
// asynchronous receives (or a moved-from handle) with another.
TEST(zmq_error, a_closed_socket_fails_alike_for_every_caller) {
    boost::asio::io_context io;
    asio_socket closed(io, ZMQ_PULL);
    closed.close();
    EXPECT_EQ(error_of([&] { closed.receive(); }), ENOTSOCK);
    message frame("x");
    EXPECT_EQ(error_of([&] { closed.try_send(frame); }), ENOTSOCK);
    std::vector<received> got;
    receive_into(closed, got);
    ASSERT_TRUE(run_until(io, [&] { return !got.empty(); }));
    EXPECT_EQ(got[0].error, ozmq::detail::socket_closed_error());
    EXPECT_EQ(got[0].error, ozmq::detail::make_error_code(ENOTSOCK));

    asio_socket source(io, ZMQ_PULL);
    asio_socket target(std::move(source));
    EXPECT_EQ(error_of([&] { source.connect("inproc://moved"); }), ENOTSOCK);
    EXPECT_EQ(error_of([&] { receive_into(source, got); }), ENOTSOCK);
}

namespace {

// From now on eventfd fails with EMFILE on the calling thread alone (a seccomp
// filter, which goes with the thread). False where seccomp is not available.
bool deny_eventfd_on_this_thread() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_eventfd2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EMFILE & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

}  // namespace

// Catches: a system failure (the blocked thread's eventfd) reported in the
// ZeroMQ category, as if libzmq had failed.
TEST(zmq_error, a_system_failure_is_in_the_system_category) {
    boost::asio::io_context io;
    asio_socket in(io, ZMQ_PULL);
    // A new thread: it has no wake fd yet, so its first wait makes one.
    auto caught = std::async(std::launch::async, [&] {
        if (!deny_eventfd_on_this_thread()) {
            return boost::optional<std::pair<boost::system::error_code, std::string>>();
        }
        try {
            in.receive();
        } catch (const boost::system::system_error& e) {
            return boost::make_optional(std::make_pair(e.code(), std::string(e.what())));
        }
        return boost::make_optional(std::make_pair(boost::system::error_code(), std::string("no error")));
    });
    ASSERT_EQ(caught.wait_for(10s), std::future_status::ready);
    const auto result = caught.get();
    if (!result) {
        GTEST_SKIP() << "no seccomp here";
    }
    EXPECT_EQ(result->first, boost::system::error_code(EMFILE, boost::system::system_category()));
    EXPECT_EQ(result->second.compare(0, 9, "eventfd: "), 0) << result->second;
}

// --- dynamic bind forms: parsing and the search, without the network -----

// Catches: wrong defaults, ranges with an end left out, malformed ranges
// accepted, and rewriting of endpoints that are not dynamic.
TEST(zmq_dynamic_endpoint, parses_the_port_forms) {
    using ozmq::detail::parse_dynamic_endpoint;
    auto plain = parse_dynamic_endpoint("tcp://127.0.0.1:*");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->prefix, "tcp://127.0.0.1:");
    EXPECT_FALSE(plain->random_start);
    EXPECT_EQ(plain->first, 49152);
    EXPECT_EQ(plain->last, 65535);

    auto random = parse_dynamic_endpoint("tcp://*:![100-200]");
    ASSERT_TRUE(random);
    EXPECT_TRUE(random->random_start);
    EXPECT_EQ(random->prefix, "tcp://*:");
    EXPECT_EQ(random->first, 100);
    EXPECT_EQ(random->last, 200);

    EXPECT_EQ(parse_dynamic_endpoint("tcp://h:*[-60000]")->first, 49152);
    EXPECT_EQ(parse_dynamic_endpoint("tcp://h:*[-60000]")->last, 60000);
    EXPECT_EQ(parse_dynamic_endpoint("tcp://h:*[50000-]")->last, 65535);
    EXPECT_EQ(parse_dynamic_endpoint("tcp://h:*[-]")->first, 49152);
    EXPECT_EQ(parse_dynamic_endpoint("tcp://[::1]:*[7-7]")->prefix, "tcp://[::1]:");

    EXPECT_FALSE(parse_dynamic_endpoint("tcp://127.0.0.1:5555"));
    EXPECT_FALSE(parse_dynamic_endpoint("ipc://*"));
    EXPECT_FALSE(parse_dynamic_endpoint("inproc://x:*"));

    for (const char* bad : {"tcp://h:*[200-100]", "tcp://h:*[0-10]", "tcp://h:*[1-65536]", "tcp://h:*[100]",
                            "tcp://h:*[a-b]", "tcp://h:*[1-2", "tcp://h:*x", "tcp://h:![-123456]"}) {
        EXPECT_EQ(error_of([&] { parse_dynamic_endpoint(bad); }), EINVAL) << bad;
    }
}

namespace {

// A stand-in for zmq_bind that records the ports tried and frees only some.
struct fake_binder {
    explicit fake_binder(std::set<int> _free_ports, int _other_error_port = -1)
        : free_ports(std::move(_free_ports)), other_error_port(_other_error_port) {}
    std::set<int> free_ports;
    int other_error_port = -1;
    std::vector<int> tried;
    int operator()(const std::string& _endpoint) {
        const int port = endpoint_port(_endpoint);
        tried.push_back(port);
        if (port == other_error_port) {
            return ENODEV;
        }
        return free_ports.count(port) != 0 ? 0 : EADDRINUSE;
    }
};

int search(const char* _endpoint, std::uint16_t _start, fake_binder& _binder) {
    const auto endpoint = *ozmq::detail::parse_dynamic_endpoint(_endpoint);
    return ozmq::detail::bind_dynamic(endpoint, _start, std::ref(_binder));
}

}  // namespace

// Catches: off-by-one at the end of the range (last port never tried, a
// one-port range never tried), "!" wrapping to port 0 or past the range,
// ports tried twice or skipped, and a search that goes on after an error
// that no other port can cure.
TEST(zmq_dynamic_endpoint, search_tries_every_port_once_and_wraps_to_the_start) {
    {
        fake_binder binder{{300}};
        EXPECT_EQ(search("tcp://h:*[300-300]", 300, binder), 0);
        EXPECT_EQ(binder.tried, (std::vector<int>{300}));
    }
    {
        fake_binder binder{{105}};
        EXPECT_EQ(search("tcp://h:*[100-105]", 100, binder), 0);
        EXPECT_EQ(binder.tried, (std::vector<int>{100, 101, 102, 103, 104, 105}));
    }
    {
        fake_binder binder{{100}};
        EXPECT_EQ(search("tcp://h:![100-105]", 103, binder), 0);
        EXPECT_EQ(binder.tried, (std::vector<int>{103, 104, 105, 100}));
    }
    {
        fake_binder binder{std::set<int>{}};
        EXPECT_EQ(search("tcp://h:![65530-]", 65533, binder), EADDRINUSE);
        EXPECT_EQ(binder.tried, (std::vector<int>{65533, 65534, 65535, 65530, 65531, 65532}));
    }
    {
        fake_binder binder{{1}};
        EXPECT_EQ(search("tcp://h:*[1-1]", 1, binder), 0);
        EXPECT_EQ(binder.tried, (std::vector<int>{1}));
    }
    {
        fake_binder binder{{104}, 102};
        EXPECT_EQ(search("tcp://h:*[100-105]", 100, binder), ENODEV);
        EXPECT_EQ(binder.tried, (std::vector<int>{100, 101, 102}));
    }
}

// Catches: a random start outside the range (or at port 0).
TEST(zmq_dynamic_endpoint, random_start_stays_in_the_range) {
    const auto endpoint = *ozmq::detail::parse_dynamic_endpoint("tcp://h:![65533-65535]");
    std::set<int> seen;
    for (int i = 0; i < 300; ++i) {
        const int port = ozmq::detail::start_port(endpoint);
        EXPECT_GE(port, 65533);
        EXPECT_LE(port, 65535);
        seen.insert(port);
    }
    EXPECT_EQ(seen.size(), 3u);
}

// --- dynamic bind forms on real ports -----------------------------------

// Catches: the last port of a range or a one-port range never bound, an
// exhausted range reported as success, "!" not wrapping to the range start.
TEST(zmq_dynamic_bind, binds_the_only_free_port_of_a_range) {
    boost::asio::io_context io;
    held_ports ports(4);
    const std::string range = "[" + std::to_string(ports.port(0)) + "-" + std::to_string(ports.port(3)) + "]";

    asio_socket exhausted(io, ZMQ_PULL);
    EXPECT_EQ(error_of([&] { exhausted.bind("tcp://127.0.0.1:*" + range); }), EADDRINUSE);
    EXPECT_EQ(error_of([&] { exhausted.bind("tcp://127.0.0.1:!" + range); }), EADDRINUSE);

    ports.release(3);
    asio_socket last(io, ZMQ_PULL);
    last.bind("tcp://127.0.0.1:*" + range);
    EXPECT_EQ(endpoint_port(last.last_endpoint()), ports.port(3));
    last.close();

    // (libzmq closes a listener in the background, so the port just used may
    // still be taken: another window for the next case.)
    held_ports lone(1);
    const std::string one = std::to_string(lone.port(0));
    asio_socket single(io, ZMQ_PULL);
    EXPECT_EQ(error_of([&] { single.bind("tcp://127.0.0.1:![" + one + "-" + one + "]"); }), EADDRINUSE);
    lone.release(0);
    single.bind("tcp://127.0.0.1:![" + one + "-" + one + "]");
    EXPECT_EQ(endpoint_port(single.last_endpoint()), lone.port(0));

    // Only the first port is free: every start but the first has to wrap.
    for (int i = 0; i < 8; ++i) {
        held_ports more(4);
        more.release(0);
        const std::string wrap_range = "[" + std::to_string(more.port(0)) + "-" + std::to_string(more.port(3)) + "]";
        asio_socket random(io, ZMQ_PULL);
        random.bind("tcp://127.0.0.1:!" + wrap_range);
        EXPECT_EQ(endpoint_port(random.last_endpoint()), more.port(0));
    }
}

// Catches: the default range not applied, or libzmq's own meaning of "*"
// (an ephemeral port) used instead.
TEST(zmq_dynamic_bind, default_range_and_traffic_through_the_chosen_port) {
    boost::asio::io_context io;
    asio_socket socket(io, ZMQ_PULL);
    socket.bind("tcp://127.0.0.1:!");
    const std::string endpoint = socket.last_endpoint();
    EXPECT_GE(endpoint_port(endpoint), 49152);
    EXPECT_LE(endpoint_port(endpoint), 65535);

    plain_socket push(::zmq::socket_type::push);
    push.connect(endpoint);
    push.send("through");
    EXPECT_EQ(socket.receive().string(), "through");
}

// --- the shared context --------------------------------------------------

// Catches: a context per socket, a context never terminated (its threads
// stay), a terminated context reused, and a hang in zmq_ctx_term because
// unsent frames linger.
TEST(zmq_context, shared_terminated_with_the_last_socket_and_made_afresh) {
    boost::asio::io_context io;
    ASSERT_FALSE(ozmq::detail::context_alive());
    const int threads_before = zmq_background_threads();
    const auto created = ozmq::detail::contexts_created();
    {
        asio_socket first(io, ZMQ_PUSH);
        asio_socket second(io, ZMQ_PULL);
        EXPECT_TRUE(ozmq::detail::context_alive());
        EXPECT_EQ(ozmq::detail::contexts_created(), created + 1);
        // (A thread names itself once it runs.)
        EXPECT_TRUE(orq::test::wait_until([&] { return zmq_background_threads() == threads_before + 2; }));

        // Frames that can never be delivered: nobody listens there.
        first.connect("tcp://127.0.0.1:" + std::to_string(orq::test::free_tcp_port()));
        for (int i = 0; i < 10; ++i) {
            message frame("unsent");
            EXPECT_TRUE(first.try_send(frame));
        }
        second.close();
        EXPECT_TRUE(ozmq::detail::context_alive());
        const auto started = std::chrono::steady_clock::now();
        first.close();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    }
    EXPECT_FALSE(ozmq::detail::context_alive());
    EXPECT_TRUE(orq::test::wait_until([&] { return zmq_background_threads() == threads_before; }));

    asio_socket again(io, ZMQ_PULL);
    EXPECT_EQ(ozmq::detail::contexts_created(), created + 2);
    again.bind("tcp://127.0.0.1:!");
    const std::string endpoint = again.last_endpoint();
    plain_socket push(::zmq::socket_type::push);
    push.connect(endpoint);
    push.send("after");
    EXPECT_EQ(again.receive().string(), "after");
}

// --- synchronous operations ----------------------------------------------

// Catches: lost frames or flags in either direction, a try_send that eats a
// frame it could not queue, and a blocking send that never wakes up.
TEST(zmq_sync, send_receive_and_try_send) {
    boost::asio::io_context io;
    asio_socket push(io, ZMQ_PUSH);
    push.bind("tcp://127.0.0.1:*");
    message early("kept");
    EXPECT_FALSE(push.try_send(early));  // bound push without peers
    EXPECT_EQ(early.string(), "kept");

    plain_socket pull(::zmq::socket_type::pull);
    pull.connect(push.last_endpoint());
    ASSERT_TRUE(orq::test::wait_until([&] { return push.try_send(early); }));
    push.send(message("one"), ZMQ_SNDMORE);
    push.send(message("two"));
    EXPECT_EQ(pull.receive(), "kept");
    EXPECT_EQ(pull.receive(), "one");
    EXPECT_TRUE(pull.get().get(::zmq::sockopt::rcvmore));
    EXPECT_EQ(pull.receive(), "two");

    asio_socket in(io, ZMQ_PULL);
    in.bind("tcp://127.0.0.1:*");
    plain_socket out(::zmq::socket_type::push);
    out.connect(in.last_endpoint());
    out.send("a", ::zmq::send_flags::sndmore);
    out.send("b");
    message first = in.receive();
    EXPECT_EQ(first.string(), "a");
    EXPECT_TRUE(first.more());
    message second;
    EXPECT_TRUE(in.try_receive(second));
    EXPECT_EQ(second.string(), "b");
    EXPECT_FALSE(second.more());
    EXPECT_FALSE(in.try_receive(second));
}

// Catches: a blocking receive on another thread that misses the frame's
// arrival.
TEST(zmq_sync, blocking_receive_is_released_by_the_peer) {
    boost::asio::io_context io;
    asio_socket in(io, ZMQ_PULL);
    in.bind("tcp://127.0.0.1:*");
    auto result = std::async(std::launch::async, [&] { return in.receive().string(); });
    plain_socket out(::zmq::socket_type::push);
    out.connect(in.last_endpoint());
    out.send("late");
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), "late");
}

// Catches: a push held at its high-water mark that is not released when the
// peer reads (the signal consumed elsewhere), and frames lost or reordered on
// the way.
TEST(zmq_sync, push_at_high_water_mark_is_released_when_the_peer_reads) {
    boost::asio::io_context io;
    asio_socket push(io, ZMQ_PUSH);
    push.set_option(ZMQ_SNDHWM, 1);
    push.set_option(ZMQ_SNDBUF, 4096);
    push.bind("tcp://127.0.0.1:*");
    plain_socket pull(::zmq::socket_type::pull);
    pull.get().set(::zmq::sockopt::rcvhwm, 1);
    pull.get().set(::zmq::sockopt::rcvbuf, 4096);
    pull.connect(push.last_endpoint());

    // Far more than the queues and the kernel's buffers hold.
    constexpr int count = 2000;
    const std::string payload(1024, 'p');
    std::atomic<int> sent{0};
    auto sender = std::async(std::launch::async, [&] {
        for (int i = 0; i < count; ++i) {
            push.send(message(std::to_string(i) + payload));
            ++sent;
        }
    });
    ASSERT_TRUE(orq::test::wait_until([&] { return sent.load() > 0; }));
    EXPECT_LT(sent.load(), count);
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(pull.receive(), std::to_string(i) + payload);
    }
    ASSERT_EQ(sender.wait_for(10s), std::future_status::ready);
    sender.get();
}

namespace {

// A PAIR socket with tiny queues whose plain peer does not read yet, and a
// sender thread that sends far more than the queues and the kernel's buffers
// hold: it waits at the high-water mark until the peer drains.
class zmq_blocked_send : public ::testing::Test {
protected:
    static constexpr int count = 500;

    zmq_blocked_send() {
        pair.set_option(ZMQ_SNDHWM, 2);
        pair.set_option(ZMQ_SNDBUF, 4096);
        pair.bind("tcp://127.0.0.1:*");
        peer.get().set(::zmq::sockopt::rcvhwm, 2);
        peer.get().set(::zmq::sockopt::rcvbuf, 4096);
        peer.connect(pair.last_endpoint());
    }
    // A sender still blocked after a failure is woken by the close.
    ~zmq_blocked_send() override { pair.close(); }

    // True once the sender waits for good.
    bool start_sender() {
        sender = std::async(std::launch::async, [this] {
            sender_thread = current_thread_id();
            for (int i = 0; i < count; ++i) {
                pair.send(message(payload));
                ++sent;
            }
        });
        return blocked_for_good(sender_thread, sent);
    }
    // Reads every frame the sender sends, which releases it.
    void drain() {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(peer.receive(), payload);
        }
        ASSERT_EQ(sender.wait_for(10s), std::future_status::ready);
        sender.get();
    }

    const std::string payload = std::string(1024, 'x');
    boost::asio::io_context io;
    asio_socket pair{io, ZMQ_PAIR};
    plain_socket peer{::zmq::socket_type::pair};
    std::atomic<pid_t> sender_thread{0};
    std::atomic<int> sent{0};
    std::future<void> sender;
};

}  // namespace

// Catches: a blocking send that holds the socket's lock while it waits, which
// stops the io_context from receiving on the same socket (here the peer only
// drains after the loop has received its frame, so that would deadlock).
TEST_F(zmq_blocked_send, does_not_stop_receiving_on_the_same_socket) {
    std::vector<received> got;
    receive_into(pair, got);
    auto loop = std::async(std::launch::async, [&] {
        return run_until(
            io, [&] { return !got.empty(); }, 20s);
    });
    // The frame the loop must receive comes only once the sender waits for
    // good.
    ASSERT_TRUE(start_sender());
    EXPECT_LT(sent.load(), count);
    peer.send("ping");
    ASSERT_TRUE(loop.get());
    EXPECT_EQ(got[0].bytes, "ping");
    ASSERT_NO_FATAL_FAILURE(drain());
}

// Catches: blocking callers serialised across their waits, so that a receive
// whose frame is there waits behind another thread's send blocked at the
// high-water mark.
TEST_F(zmq_blocked_send, does_not_delay_a_blocking_receive) {
    ASSERT_TRUE(start_sender());
    peer.send("ping");
    auto received = std::async(std::launch::async, [&] { return pair.receive().string(); });
    const bool in_time = received.wait_for(10s) == std::future_status::ready;
    // Releases the sender (and a receive held behind it).
    ASSERT_NO_FATAL_FAILURE(drain());
    EXPECT_TRUE(in_time);
    EXPECT_EQ(received.get(), "ping");
}

// --- asynchronous receive -------------------------------------------------

// Catches: a handler run inside async_receive itself (re-entrance into the
// caller), frames delivered out of order, and receives completed in another
// order than started.
TEST(zmq_async, completes_on_the_io_context_in_order) {
    boost::asio::io_context io;
    asio_socket in(io, ZMQ_PULL);
    in.bind("tcp://127.0.0.1:*");
    plain_socket out(::zmq::socket_type::push);
    out.connect(in.last_endpoint());
    for (int i = 0; i < 5; ++i) {
        out.send(std::to_string(i));
    }
    // The frames are there before any receive starts.
    ASSERT_TRUE(orq::test::wait_until([&] { return (in.get_int_option(ZMQ_EVENTS) & ZMQ_POLLIN) != 0; }));

    std::vector<received> got;
    for (int i = 0; i < 5; ++i) {
        receive_into(in, got);
    }
    EXPECT_TRUE(got.empty());
    ASSERT_TRUE(run_until(io, [&] { return got.size() == 5; }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(got[i].error);
        EXPECT_EQ(got[i].bytes, std::to_string(i));
    }
}

// Catches: the lost wakeup after the queue has been drained: a receive that
// waits for an edge that already went by, because the arrival was noticed by
// another libzmq call (here ZMQ_EVENTS, which processes the arrival itself) or
// came between the last receive attempt and the wait.
TEST(zmq_async, new_frame_after_drain_completes_the_next_receive) {
    boost::asio::io_context io;
    asio_socket in(io, ZMQ_PULL);
    in.bind("tcp://127.0.0.1:*");
    plain_socket out(::zmq::socket_type::push);
    out.connect(in.last_endpoint());

    std::vector<received> got;
    for (int i = 0; i < 300; ++i) {
        receive_into(in, got);
        // Let the receive find the queue empty and queue its wait.
        run_ready(io);
        ASSERT_EQ(got.size(), std::size_t(i));
        out.send(std::to_string(i));
        if (i % 2 == 0) {
            // The arrival is taken in by this call, not by the reactor.
            ASSERT_TRUE(orq::test::wait_until([&] { return (in.get_int_option(ZMQ_EVENTS) & ZMQ_POLLIN) != 0; }));
        }
        ASSERT_TRUE(run_until(
            io, [&] { return got.size() == std::size_t(i + 1); }, 5s))
            << "frame " << i;
        EXPECT_EQ(got.back().bytes, std::to_string(i));
    }
}

// Catches: a send on the socket that swallows the arrival signal a pending
// receive waits for (sends process libzmq's commands too).
TEST(zmq_async, send_on_the_same_socket_does_not_swallow_a_pending_receive) {
    boost::asio::io_context io;
    asio_socket pair(io, ZMQ_PAIR);
    pair.bind("tcp://127.0.0.1:*");
    plain_socket peer(::zmq::socket_type::pair);
    peer.connect(pair.last_endpoint());

    std::vector<received> got;
    for (int i = 0; i < 300; ++i) {
        receive_into(pair, got);
        run_ready(io);
        peer.send(std::to_string(i));
        // Echo traffic from our side until the peer has our frame: by then the
        // peer's frame has long reached our mailbox, and our sends may well
        // have processed its arrival.
        ASSERT_TRUE(orq::test::wait_until([&] {
            pair.send(message("echo"));
            return peer.receive(1ms).has_value();
        }));
        ASSERT_TRUE(run_until(
            io, [&] { return got.size() == std::size_t(i + 1); }, 5s))
            << "frame " << i;
        EXPECT_EQ(got.back().bytes, std::to_string(i));
    }
}

// Catches: a request socket whose receive fails at once (libzmq answers EFSM
// before the request is sent) instead of waiting for the reply.
TEST(zmq_async, request_socket_receive_waits_for_the_reply) {
    boost::asio::io_context io;
    plain_socket rep(::zmq::socket_type::rep);
    const std::string endpoint = rep.bind_loopback();
    asio_socket req(io, ZMQ_REQ);
    req.connect(endpoint);
    std::vector<received> got;
    receive_into(req, got);
    run_ready(io);
    EXPECT_TRUE(got.empty());
    req.send(message("question"));
    EXPECT_EQ(rep.receive(), "question");
    rep.send("answer");
    ASSERT_TRUE(run_until(io, [&] { return !got.empty(); }));
    EXPECT_FALSE(got[0].error);
    EXPECT_EQ(got[0].bytes, "answer");
}

// Catches: a repeating receive that stops after a frame or after a throwing
// handler, or that goes on (or ends without its aborted completion) after a
// cancel() from inside its own handler.
TEST(zmq_async, receive_each_takes_every_frame_until_cancelled) {
    boost::asio::io_context io;
    asio_socket in(io, ZMQ_PULL);
    in.bind("tcp://127.0.0.1:*");
    plain_socket out(::zmq::socket_type::push);
    out.connect(in.last_endpoint());
    std::vector<received> got;
    in.async_receive_each([&](const boost::system::error_code& _error, message& _frame) {
        got.push_back({_error, _frame.string(), false});
        if (_frame.string() == "throw") {
            throw std::runtime_error("from the handler");
        }
        if (_frame.string() == "cancel") {
            in.cancel();
        }
    });
    for (const char* frame : {"1", "throw", "2", "cancel", "left"}) {
        out.send(frame);
    }
    EXPECT_THROW(run_until(
                     io, [] { return false; }, 5s),
                 std::runtime_error);
    ASSERT_TRUE(run_until(io, [&] { return got.size() == 5; }));
    run_ready(io);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].bytes, "1");
    EXPECT_EQ(got[2].bytes, "2");
    EXPECT_EQ(got[3].bytes, "cancel");
    EXPECT_EQ(got[4].error, boost::asio::error::operation_aborted);

    // The frame left behind waits for the next receive.
    receive_into(in, got);
    ASSERT_TRUE(run_until(io, [&] { return got.size() == 6; }));
    EXPECT_EQ(got[5].bytes, "left");
}

// Catches: a flood that starves the io_context's other handlers (the socket
// must yield between batches).
TEST(zmq_async, a_flooded_socket_lets_other_handlers_run) {
    boost::asio::io_context io;
    asio_socket in(io, ZMQ_PULL);
    in.bind("tcp://127.0.0.1:*");
    plain_socket out(::zmq::socket_type::push);
    out.connect(in.last_endpoint());
    constexpr int count = 2000;
    for (int i = 0; i < count; ++i) {
        out.send("f");
    }
    ASSERT_TRUE(orq::test::wait_until([&] { return (in.get_int_option(ZMQ_EVENTS) & ZMQ_POLLIN) != 0; }));
    int frames = 0;
    int frames_when_posted_ran = -1;
    std::function<void(const boost::system::error_code&, message&)> on_frame =
        [&](const boost::system::error_code& _error, message&) {
            if (!_error && ++frames < count) {
                in.async_receive(on_frame);
            }
        };
    in.async_receive(on_frame);
    boost::asio::post(io, [&] { frames_when_posted_ran = frames; });
    ASSERT_TRUE(run_until(io, [&] { return frames == count; }));
    EXPECT_GE(frames_when_posted_ran, 0);
    EXPECT_LT(frames_when_posted_ran, count / 2);
}

// --- cancellation and teardown -------------------------------------

// Catches: cancelled receives that never complete, complete inside cancel(),
// or leave work behind so that run() never returns.
TEST(zmq_teardown, cancel_completes_pending_receives_with_operation_aborted) {
    boost::asio::io_context io;
    asio_socket in(io, ZMQ_PULL);
    in.bind("tcp://127.0.0.1:*");
    std::vector<received> got;
    receive_into(in, got);
    receive_into(in, got);
    run_ready(io);
    in.cancel();
    EXPECT_TRUE(got.empty());
    io.restart();
    auto finished = std::async(std::launch::async, [&] { io.run(); });
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].error, boost::asio::error::operation_aborted);
    EXPECT_EQ(got[1].error, boost::asio::error::operation_aborted);

    // The socket still receives afterwards.
    plain_socket out(::zmq::socket_type::push);
    out.connect(in.last_endpoint());
    out.send("after cancel");
    receive_into(in, got);
    ASSERT_TRUE(run_until(io, [&] { return got.size() == 3; }));
    EXPECT_EQ(got[2].bytes, "after cancel");
}

// Catches: run() kept busy by a closed socket (a wait left queued), or a
// completion that touches the closed socket.
TEST(zmq_teardown, run_returns_once_the_last_socket_is_closed) {
    boost::asio::io_context io;
    auto in = std::make_unique<asio_socket>(io, ZMQ_PULL);
    in->bind("tcp://127.0.0.1:*");
    std::vector<received> got;
    receive_into(*in, got);
    auto finished = std::async(std::launch::async, [&] { io.run(); });
    EXPECT_EQ(finished.wait_for(100ms), std::future_status::timeout);
    boost::asio::post(io, [&] { in.reset(); });
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].error, boost::asio::error::operation_aborted);
}

// Catches: handlers that run after their socket was destroyed from inside a
// handler while frames keep arriving (use after free under ASan).
TEST(zmq_teardown, destroyed_from_its_own_handler_while_flooded) {
    boost::asio::io_context io;
    auto in = std::make_unique<asio_socket>(io, ZMQ_PULL);
    in->bind("tcp://127.0.0.1:*");
    plain_socket out(::zmq::socket_type::push);
    out.connect(in->last_endpoint());
    for (int i = 0; i < 100; ++i) {
        out.send("f");
    }
    ASSERT_TRUE(orq::test::wait_until([&] { return (in->get_int_option(ZMQ_EVENTS) & ZMQ_POLLIN) != 0; }));
    int frames = 0;
    int aborted = 0;
    for (int i = 0; i < 10; ++i) {
        in->async_receive([&](const boost::system::error_code& _error, message&) {
            if (_error) {
                ++aborted;
                return;
            }
            if (++frames == 3) {
                in.reset();
            }
        });
    }
    io.restart();
    auto finished = std::async(std::launch::async, [&] { io.run(); });
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(frames, 3);
    EXPECT_EQ(aborted, 7);
}
