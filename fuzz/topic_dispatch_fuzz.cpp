// Drives the raw stream's topic dispatch with random topics, subscriptions,
// unsubscriptions and frames, and compares every callback it calls, in order,
// with a small reference model. Callbacks act while they run: they end their
// own or another subscription, subscribe more, throw, or drop the stream.
//
// Input: a script, one step per line (a topic or frame is the rest of its
// line and may hold any byte but a newline):
//   +<topic>             subscribe a callback that only records its calls
//   !<a><t><p><topic>[ <topic2>]
//                        subscribe a callback that, from its call number <t>
//                        on (t = byte % 3), also acts: <a> = o ends its own
//                        subscription, x ends the <p>-th live one (p = byte -
//                        '0'), s subscribes a recording callback to <topic2>,
//                        t throws, d drops the stream; anything else: nothing
//   -<n>                 end the <n>-th live subscription (n = byte - '0')
//   ><frame>             dispatch the frame

#include <impl/topic_dispatch.hpp>

#include <boost/optional.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

namespace core = orq::libs::core;
namespace detail = orq::libs::core::detail;

// At most this many subscriptions per input, callbacks' own included, so that
// callbacks that subscribe on every call stay bounded.
constexpr int max_subscriptions = 48;

enum class action : std::uint8_t { none, end_own, end_other, subscribe, raise, drop_stream, count };

// What a subscription's callback does when its call count reaches `trigger`
// (and on every call after it).
struct script {
    action what = action::none;
    unsigned trigger = 0;
    unsigned parameter = 0;  // which other subscription, among the live ones
    std::string topic;       // for action::subscribe
};

struct thrown {};

struct call {
    int id;
    const char* data;
    std::size_t size;
    bool operator==(const call& _other) const { return id == _other.id && data == _other.data && size == _other.size; }
};

[[noreturn]] void fail(const char* _what) {
    std::fprintf(stderr, "topic dispatch differs from the model: %s\n", _what);
    std::abort();
}

// A script line "!<action><trigger><parameter><topic>[ <topic to subscribe>]"
// (see the input format above): the subscription's topic and what it does.
bool parse_scripted(const std::string& _line, std::string& _topic, script& _script) {
    if (_line.size() < 4) {
        return false;
    }
    switch (_line[1]) {
    case 'o':
        _script.what = action::end_own;
        break;
    case 'x':
        _script.what = action::end_other;
        break;
    case 's':
        _script.what = action::subscribe;
        break;
    case 't':
        _script.what = action::raise;
        break;
    case 'd':
        _script.what = action::drop_stream;
        break;
    default:
        _script.what = action::none;
        break;
    }
    _script.trigger = static_cast<unsigned char>(_line[2]) % 3;
    _script.parameter = static_cast<unsigned char>(_line[3]) - static_cast<unsigned char>('0');
    const std::string rest = _line.substr(4);
    const std::size_t space = rest.find(' ');
    _topic = rest.substr(0, space);
    if (space != std::string::npos) {
        _script.topic = rest.substr(space + 1);
    }
    return true;
}

// The code under test, used the way the raw stream uses it: the stream owns
// the map, a dispatch holds it too, a subscription shares its subscriber with
// the topic's list and ends it when it goes.
class real_world {
public:
    std::vector<call> calls;

    bool stream_alive() const { return m_map != nullptr; }

    void subscribe(const std::string& _topic, const script& _script) {
        const int id = m_next_id++;
        auto subscriber = std::make_shared<detail::topic_subscriber>();
        subscriber->m_callback = [this, id, actions = _script, count = 0u](boost::string_view _message) mutable {
            calls.push_back({id, _message.data(), _message.size()});
            if (count++ >= actions.trigger) {
                act(id, actions);
            }
        };
        (*m_map)[_topic].push_back(subscriber);
        m_ids.emplace(subscriber.get(), id);
        m_every.push_back(subscriber);
        m_subscriptions.emplace(id, subscription(std::move(subscriber)));
    }

    void end(unsigned _index) {
        if (!m_subscriptions.empty()) {
            auto entry = m_subscriptions.begin();
            std::advance(entry, _index % m_subscriptions.size());
            end_subscription(entry);
        }
    }

    int subscriptions_made() const { return m_next_id; }

    // Returns false when a callback threw.
    bool dispatch(const std::string& _frame) {
        m_ended_in_dispatch.clear();
        m_dispatching = true;
        const std::shared_ptr<detail::topic_subscribers_map> held = m_map;
        bool completed = true;
        try {
            detail::dispatch_message(*held, _frame);
        } catch (const thrown&) {
            completed = false;
        }
        m_dispatching = false;
        return completed;
    }

    const detail::topic_subscribers_map& map() const { return *m_map; }
    int id_of(const detail::topic_subscriber& _subscriber) const { return m_ids.at(&_subscriber); }
    bool ended_in_last_dispatch(int _id) const { return m_ended_in_dispatch.count(_id) != 0; }

    // An ended subscription's callback is released as soon as it is not
    // running.
    bool ended_callbacks_released() const {
        for (const auto& subscriber : m_every) {
            if (!subscriber->m_subscribed && subscriber->m_callback) {
                return false;
            }
        }
        return true;
    }

private:
    // What a subscription of the stream does with its subscriber.
    class subscription {
    public:
        explicit subscription(std::shared_ptr<detail::topic_subscriber> _subscriber)
            : m_subscriber(std::move(_subscriber)) {}
        subscription(subscription&&) = default;
        ~subscription() {
            if (m_subscriber) {
                m_subscriber->unsubscribe();
            }
        }

    private:
        std::shared_ptr<detail::topic_subscriber> m_subscriber;
    };

    void end_subscription(std::map<int, subscription>::iterator _entry) {
        if (m_dispatching) {
            m_ended_in_dispatch.insert(_entry->first);
        }
        m_subscriptions.erase(_entry);
    }

    void act(int _id, const script& _script) {
        switch (_script.what) {
        case action::end_own: {
            const auto entry = m_subscriptions.find(_id);
            if (entry != m_subscriptions.end()) {
                end_subscription(entry);
            }
            break;
        }
        case action::end_other:
            end(_script.parameter);
            break;
        case action::subscribe:
            if (m_map && m_next_id < max_subscriptions) {
                subscribe(_script.topic, script{});
            }
            break;
        case action::raise:
            throw thrown{};
        case action::drop_stream:
            m_map.reset();
            break;
        default:
            break;
        }
    }

    std::shared_ptr<detail::topic_subscribers_map> m_map = std::make_shared<detail::topic_subscribers_map>();
    std::map<int, subscription> m_subscriptions;
    std::map<const detail::topic_subscriber*, int> m_ids;
    // Every subscriber made, to check that ended ones let go of their callback.
    std::vector<std::shared_ptr<detail::topic_subscriber>> m_every;
    std::set<int> m_ended_in_dispatch;
    bool m_dispatching = false;
    int m_next_id = 0;
};

// What the dispatch should do, written the plain way: every subscription in
// one list in subscription order, the topics in a set that only grows.
class model_world {
public:
    std::vector<call> calls;
    bool stream_alive = true;

    void subscribe(const std::string& _topic, const script& _script) {
        m_topics.insert(_topic);
        m_subscriptions.push_back({m_next_id++, _topic, _script, 0, true});
    }

    void end(unsigned _index) {
        std::vector<record*> live;
        for (auto& subscription : m_subscriptions) {
            if (subscription.alive) {
                live.push_back(&subscription);
            }
        }
        if (!live.empty()) {
            live[_index % live.size()]->alive = false;
        }
    }

    // The shortest subscribed topic that the frame begins with.
    const std::string* topic_of(const std::string& _frame) const {
        const std::string* best = nullptr;
        for (const auto& topic : m_topics) {
            if (topic.size() <= _frame.size() && _frame.compare(0, topic.size(), topic) == 0 &&
                (best == nullptr || topic.size() < best->size())) {
                best = &topic;
            }
        }
        return best;
    }

    bool dispatch(const std::string& _frame) {
        const std::string* topic = topic_of(_frame);
        if (topic == nullptr) {
            return true;
        }
        std::vector<int> present;
        for (const auto& subscription : m_subscriptions) {
            if (subscription.topic == *topic) {
                present.push_back(subscription.id);
            }
        }
        for (const int id : present) {
            record& subscription = m_subscriptions[static_cast<std::size_t>(id)];
            if (!subscription.alive) {
                continue;
            }
            calls.push_back({id, _frame.data(), _frame.size()});
            if (subscription.count++ >= subscription.actions.trigger && !act(subscription)) {
                return false;
            }
        }
        return true;
    }

    std::size_t live_count(const std::string& _topic) const {
        std::size_t count = 0;
        for (const auto& subscription : m_subscriptions) {
            count += subscription.alive && subscription.topic == _topic;
        }
        return count;
    }

    const std::set<std::string>& topics() const { return m_topics; }

private:
    struct record {
        int id;
        std::string topic;
        script actions;
        unsigned count;
        bool alive;
    };

    // Returns false for a throw.
    bool act(record& _subscription) {
        const script actions = _subscription.actions;
        switch (actions.what) {
        case action::end_own:
            _subscription.alive = false;
            break;
        case action::end_other:
            end(actions.parameter);
            break;
        case action::subscribe:
            if (stream_alive && m_next_id < max_subscriptions) {
                subscribe(actions.topic, script{});
            }
            break;
        case action::raise:
            return false;
        case action::drop_stream:
            stream_alive = false;
            break;
        default:
            break;
        }
        return true;
    }

    std::set<std::string> m_topics;
    std::vector<record> m_subscriptions;  // indexed by id
    int m_next_id = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    const std::string input(reinterpret_cast<const char*>(_data), _size);
    real_world real;
    model_world model;

    std::size_t start = 0;
    for (int lines = 0; start < input.size() && lines < 512; ++lines) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) {
            end = input.size();
        }
        const std::string line = input.substr(start, end - start);
        start = end + 1;
        if (line.empty()) {
            continue;
        }
        switch (line[0]) {
        case '+':
        case '!': {
            // Subscriptions made by hand go to a live stream only.
            std::string topic = line.substr(1);
            script actions;
            if (line[0] == '!' && !parse_scripted(line, topic, actions)) {
                break;
            }
            if (real.stream_alive() && real.subscriptions_made() < max_subscriptions) {
                real.subscribe(topic, actions);
                model.subscribe(topic, actions);
            }
            break;
        }
        case '-': {
            const unsigned index =
                line.size() > 1 ? static_cast<unsigned char>(line[1]) - static_cast<unsigned char>('0') : 0;
            real.end(index);
            model.end(index);
            break;
        }
        case '>': {
            if (!real.stream_alive()) {
                break;
            }
            const std::string frame = line.substr(1);
            // Taken now: a callback may subscribe a shorter topic meanwhile.
            const std::string* const found = model.topic_of(frame);
            const boost::optional<std::string> topic = found != nullptr ? boost::make_optional(*found) : boost::none;
            real.calls.clear();
            model.calls.clear();
            const bool completed = real.dispatch(frame);
            if (model.dispatch(frame) != completed) {
                fail("a callback's exception did not end the dispatch");
            }
            if (real.calls != model.calls) {
                fail("other callbacks, another order, or another view of the frame");
            }
            if (real.stream_alive() != model.stream_alive) {
                fail("stream lifetime");
            }
            // After a dispatch that completed, the frame's topic keeps its
            // live subscribers (those subscribed meanwhile included) and, until
            // its next frame, those ended during this dispatch; every other
            // ended one is gone.
            if (completed && real.stream_alive() && topic) {
                const auto& entries = real.map().at(*topic);
                std::size_t ended_meanwhile = 0;
                for (const auto& entry : entries) {
                    if (!entry->m_subscribed) {
                        if (!real.ended_in_last_dispatch(real.id_of(*entry))) {
                            fail("an ended subscription was not pruned");
                        }
                        ++ended_meanwhile;
                    }
                }
                if (entries.size() - ended_meanwhile != model.live_count(*topic)) {
                    fail("live callbacks of the frame's topic");
                }
            }
            break;
        }
        default:
            break;
        }
        if (!real.ended_callbacks_released()) {
            fail("an ended subscription kept its callback");
        }
        if (real.stream_alive()) {
            std::set<std::string> topics;
            for (const auto& entry : real.map()) {
                topics.insert(entry.first);
            }
            if (topics != model.topics()) {
                fail("a topic left the map or was never added");
            }
        }
    }
    return 0;
}
