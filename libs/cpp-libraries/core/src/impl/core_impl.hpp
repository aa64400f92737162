#pragma once

#include <core/core.hpp>
#include <core/logger.hpp>

#include <string>

namespace orq::libs::core {

class core_impl final : public core {
public:
    explicit core_impl(const logger& _logger);
    ~core_impl() override;

    events_loop::ptr create_events_loop(const std::string& _name) override;

private:
    // "core": every loop of this core logs through it.
    component_logger::ptr m_logger;
};

}  // namespace orq::libs::core
