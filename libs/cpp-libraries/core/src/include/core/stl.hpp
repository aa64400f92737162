#pragma once

namespace orq::libs::core {

// The outcome of an iteration that a callback may stop by returning false.
enum class iteration_result : int {
    finished = 0,
    interrupted = 1,
};

}  // namespace orq::libs::core
