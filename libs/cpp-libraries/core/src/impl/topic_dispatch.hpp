#pragma once

#include <core/message_stream.hpp>

#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orq::libs::core::detail {

// The topic dispatch of a raw message stream, on its map alone (no socket), so
// that it can be driven directly.

// A subscriber's callback, shared by its subscription and the topic's list;
// used on the loop thread only. The subscription's end releases the callback
// at once, or right after its call when it is running then; the list drops
// the entry at the next frame of the topic.
struct topic_subscriber {
    message_stream::callback m_callback;
    bool m_subscribed = true;
    bool m_running = false;

    // Called when the subscription ends.
    void unsubscribe() {
        m_subscribed = false;
        if (!m_running) {
            m_callback = nullptr;
        }
    }

    // After a call: releases the callback if its subscription ended
    // meanwhile.
    void finish_call() {
        m_running = false;
        if (!m_subscribed) {
            m_callback = nullptr;
        }
    }
};

using topic_subscribers = std::vector<std::shared_ptr<topic_subscriber>>;

// The subscribed topics, ordered byte-wise, each with its subscribers. A topic
// never leaves the map (it stays subscribed with ZeroMQ for the life of the
// stream), so there is no erase.
//
// Kept with it: the distinct lengths of the topics, ascending, and every topic
// in a hash index. The shortest topic that prefixes a message is then the
// message's prefix of the first of those lengths that the index holds: a
// lookup per distinct length (up to the message's size), however many topics
// there are. The index's keys and values point into the map's nodes, which
// never move; hence the map is neither copied nor moved.
class topic_subscribers_map {
public:
    using map_type = std::map<std::string, topic_subscribers>;
    using iterator = map_type::iterator;
    using const_iterator = map_type::const_iterator;

    topic_subscribers_map() = default;
    topic_subscribers_map(const topic_subscribers_map&) = delete;
    topic_subscribers_map& operator=(const topic_subscribers_map&) = delete;

    iterator begin() { return m_topics.begin(); }
    iterator end() { return m_topics.end(); }
    const_iterator begin() const { return m_topics.begin(); }
    const_iterator end() const { return m_topics.end(); }

    iterator find(const std::string& _topic) { return m_topics.find(_topic); }
    const_iterator find(const std::string& _topic) const { return m_topics.find(_topic); }
    // Throws std::out_of_range for a topic that is not there.
    const topic_subscribers& at(const std::string& _topic) const { return m_topics.at(_topic); }

    // Adds the topic unless it is there already; the iterator is the topic's,
    // the bool says whether it was added.
    std::pair<iterator, bool> emplace(std::string _topic, topic_subscribers _subscribers);
    // The topic's subscribers; the topic is added (without any) if it is new.
    topic_subscribers& operator[](const std::string& _topic) { return emplace(_topic, {}).first->second; }

    // The subscribers of the shortest topic that prefixes the message, or
    // null when no topic does.
    topic_subscribers* find_shortest_prefix(boost::string_view _message);

private:
    map_type m_topics;
    std::vector<std::size_t> m_lengths;  // distinct, ascending
    std::unordered_map<std::string_view, topic_subscribers*> m_index;
};

// Calls the callbacks of the shortest topic that prefixes the message, then
// drops the entries whose subscriptions are gone. A message that no topic
// prefixes is dropped. An exception of a callback leaves at once: the later
// callbacks do not get the message and nothing is pruned.
void dispatch_message(topic_subscribers_map& _subscribers, boost::string_view _message);

}  // namespace orq::libs::core::detail
