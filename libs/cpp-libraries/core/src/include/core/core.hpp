#pragma once

#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <memory>
#include <string>

namespace orq::libs::core {

// Root of the runtime library and factory of event loops. It must not outlive
// the logger it was created with, and its loops must not outlive it.
class core {
public:
    using ptr = std::unique_ptr<core>;

    // Every loop of the new core logs through the component logger "core".
    static std::unique_ptr<core> create(const logger& _logger);

    virtual ~core() = default;

    // The name identifies the loop to the caller only; it is not kept.
    virtual events_loop::ptr create_events_loop(const std::string& _name) = 0;
};

}  // namespace orq::libs::core
