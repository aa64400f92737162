#pragma once

#include <core/message_stream.hpp>

#include <boost/optional.hpp>
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

// The subscribers of the shortest topic that prefixes the message.
boost::optional<topic_subscribers&> find_subscribers(topic_subscribers_map& _subscribers, boost::string_view _message);

// Calls, in order, the subscribed callbacks among the entries present at the
// start. True when it met entries whose subscriptions are gone.
bool call_subscribers(const topic_subscribers& _subscribers, boost::string_view _message);

// Erases the entries whose subscriptions are gone, keeping the order of the rest.
void remove_unsubscribed(topic_subscribers& _subscribers);

}  // namespace orq::libs::core::detail
