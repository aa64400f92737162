#include "topic_dispatch.hpp"

#include <algorithm>
#include <cstddef>

namespace orq::libs::core::detail {

std::pair<topic_subscribers_map::iterator, bool> topic_subscribers_map::emplace(std::string _topic,
                                                                                topic_subscribers _subscribers) {
    const auto [entry, added] = m_topics.try_emplace(std::move(_topic), std::move(_subscribers));
    if (!added) {
        return {entry, false};
    }
    // The map and what is kept with it change together, or not at all.
    const std::string_view key(entry->first);
    try {
        m_index.emplace(key, &entry->second);
        const auto length = std::lower_bound(m_lengths.begin(), m_lengths.end(), key.size());
        if (length == m_lengths.end() || *length != key.size()) {
            m_lengths.insert(length, key.size());
        }
    } catch (...) {
        m_index.erase(key);
        m_topics.erase(entry);
        throw;
    }
    return {entry, true};
}

topic_subscribers* topic_subscribers_map::find_shortest_prefix(boost::string_view _message) {
    // Topics of one length that prefix a message are the same bytes, so the
    // first length whose prefix is a topic gives the shortest match.
    for (const std::size_t length : m_lengths) {
        if (length > _message.size()) {
            break;
        }
        const auto found = m_index.find(std::string_view(_message.data(), length));
        if (found != m_index.end()) {
            return found->second;
        }
    }
    return nullptr;
}

namespace {

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
    // Found before any callback runs: a callback may add topics, which
    // changes what is kept with the map but not the topics' nodes.
    topic_subscribers* const found = _subscribers.find_shortest_prefix(_message);
    if (found == nullptr) {
        return;
    }
    if (call_subscribers(*found, _message)) {
        remove_unsubscribed(*found);
    }
}

}  // namespace orq::libs::core::detail
