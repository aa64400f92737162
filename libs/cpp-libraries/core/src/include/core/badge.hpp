#pragma once

namespace orq::libs::core {

// A key that only T can cut: a public constructor that takes a badge<T> can be
// called from code inside T alone, yet stays reachable through
// std::make_shared. The constructor is user-provided on purpose, so that the
// class is not an aggregate and `badge<T>{}` does not compile outside T.
template <typename T>
class badge {
    friend T;
    badge() {}
};

}  // namespace orq::libs::core
