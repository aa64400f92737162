#include "topic_dispatch.hpp"

#include <boost/optional.hpp>

#include <algorithm>
#include <cstddef>

namespace orq::libs::core::detail {

namespace {

// The subscribers of the shortest topic that prefixes the message.
boost::optional<topic_subscribers&> find_subscribers(topic_subscribers_map& _subscribers, boost::string_view _message) {
    for (auto& [topic, subscribers] : _subscribers) {
        if (_message.starts_with(boost::string_view(topic))) {
            return subscribers;
        }
    }
    return boost::none;
}

// Calls, in order, the subscribed callbacks among the entries present at the
// start. True when it met entries whose subscriptions are gone.
bool call_subscribers(const topic_subscribers& _subscribers, boost::string_view _message) {
    // By index, up to the entries present now: a callback may subscribe more
    // to this topic, which appends to the vector and may move it in memory.
    // The entries themselves stay put and alive: only the pruning after the
    // dispatch removes them, and a stream dispatches one frame at a time.
    const std::size_t count = _subscribers.size();
    bool unsubscribed = false;
    for (std::size_t i = 0; i < count; ++i) {
        topic_subscriber& current = *_subscribers[i];
        if (!current.m_subscribed) {
            unsubscribed = true;
            continue;
        }
        // Kept while it runs, even if the callback ends its own subscription.
        current.m_running = true;
        try {
            current.m_callback(_message);
        } catch (...) {
            current.finish_call();
            throw;
        }
        current.finish_call();
    }
    return unsubscribed;
}

// Erases the entries whose subscriptions are gone, keeping the order of the rest.
void remove_unsubscribed(topic_subscribers& _subscribers) {
    _subscribers.erase(
        std::remove_if(_subscribers.begin(), _subscribers.end(),
                       [](const std::shared_ptr<topic_subscriber>& _entry) { return !_entry->m_subscribed; }),
        _subscribers.end());
}

}  // namespace

void dispatch_message(topic_subscribers_map& _subscribers, boost::string_view _message) {
    const boost::optional<topic_subscribers&> found = find_subscribers(_subscribers, _message);
    if (!found) {
        return;
    }
    if (call_subscribers(*found, _message)) {
        remove_unsubscribed(*found);
    }
}

}  // namespace orq::libs::core::detail
