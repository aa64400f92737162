#pragma once

#include <core/timer.hpp>

#include <chrono>
#include <memory>

namespace orq::libs::core {

// A timer that calls back on a fixed grid of time points, one period apart.
// It re-arms itself before calling its callback, so it does not drift, and
// periods missed while the loop was busy are skipped, not caught up.
class periodic_timer {
public:
    using ptr = std::unique_ptr<periodic_timer>;

    // Selects the creation that fires once at once, then on the grid.
    struct execute_now {};

    virtual ~periodic_timer() = default;

    // New period (must be positive); the next expiry is one new period from now.
    virtual void reset(std::chrono::nanoseconds _period) = 0;
    // Ends the series until restart() or reset().
    virtual void stop() = 0;
    // The next expiry is one period from now.
    virtual void restart() = 0;
    // The next callback comes at once; the grid restarts from this moment.
    // Does nothing while the timer is stopped.
    virtual void expire_now() = 0;
};

}  // namespace orq::libs::core
