#pragma once

#include <cstdint>
#include <memory>

namespace orq::libs::core::zmq::detail {

// The process-wide ZeroMQ context of the sockets on event loops. Every socket
// holds a reference while it is open: the first socket creates the context
// (zmq_ctx_new, default options), the last one to close terminates it
// (zmq_ctx_term), and the next socket creates a fresh one.
// Throws boost::system::system_error when no context can be created.
std::shared_ptr<void> acquire_context();

// For diagnostics and tests: how many contexts were created so far, and whether
// one is alive now.
std::uint64_t contexts_created() noexcept;
bool context_alive() noexcept;

}  // namespace orq::libs::core::zmq::detail
