#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace orq::libs::core {

// A one-shot timer whose callback runs on its loop's thread. The callback is
// never called after the timer has been stopped, re-armed or destroyed, even
// when the expiry has already happened and only its handler is still queued.
class timer {
public:
    using time_point = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;
    // Called with the expiry time point of the arming that expired.
    using callback = std::function<void(time_point)>;
    using ptr = std::unique_ptr<timer>;

    virtual ~timer() = default;

    virtual bool is_waiting() const = 0;
    // Re-arms for a new time point; an earlier arming is dropped silently.
    virtual void reset(time_point _time_point) = 0;
    // Disarms; no callback until the next reset.
    virtual void stop() = 0;
};

}  // namespace orq::libs::core
