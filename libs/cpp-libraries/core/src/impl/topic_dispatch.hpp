#pragma once

#include <core/message_stream.hpp>

#include <boost/utility/string_view.hpp>

#include <map>
#include <memory>
#include <string>
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
// Ordered byte-wise, so a topic sorts before every longer topic it begins.
using topic_subscribers_map = std::map<std::string, topic_subscribers>;

// Calls the callbacks of the shortest topic that prefixes the message, then
// drops the entries whose subscriptions are gone. A message that no topic
// prefixes is dropped. An exception of a callback leaves at once: the later
// callbacks do not get the message and nothing is pruned.
void dispatch_message(topic_subscribers_map& _subscribers, boost::string_view _message);

}  // namespace orq::libs::core::detail
