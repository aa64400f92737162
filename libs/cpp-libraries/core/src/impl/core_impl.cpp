#include "core_impl.hpp"

#include "events_loop_impl.hpp"

#include <memory>

namespace orq::libs::core {

std::unique_ptr<core> core::create(const logger& _logger) {
    return std::make_unique<core_impl>(_logger);
}

core_impl::core_impl(const logger& _logger) : m_logger(_logger.component("core")) {}

core_impl::~core_impl() = default;

events_loop::ptr core_impl::create_events_loop(const std::string& /*_name*/) {
    return std::make_unique<events_loop_impl>(*this, *m_logger);
}

}  // namespace orq::libs::core
