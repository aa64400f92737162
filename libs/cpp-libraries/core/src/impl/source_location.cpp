#include <core/source_location.hpp>
#include <core/version.hpp>

#include <algorithm>

namespace orq::libs::core {

boost::string_view source_location::short_file() const {
    return remove_directory_prefix(m_file);
}

boost::string_view source_location::remove_directory_prefix(boost::string_view _path) const {
    // Only a file below the root loses it (and keeps the "/" that follows), so
    // that a program built against the installed library sees its own paths
    // whole, and a sibling directory such as "<root>-other" is not cut.
    const boost::string_view root = constants::source_directory;
    if (_path.size() > root.size() && _path.starts_with(root) && _path[root.size()] == '/') {
        return _path.substr(root.size());
    }
    return _path;
}

boost::string_view source_location::short_function() const {
    const auto open = m_function.find('(');
    if (m_function.empty() || open == boost::string_view::npos || m_function.size() <= 4) {
        return m_function;
    }
    static constexpr boost::string_view top_namespace = "orq::";
    const auto start = std::min(open, m_function.size() - top_namespace.size());
    const auto found = m_function.rfind(top_namespace, start);
    if (found == boost::string_view::npos) {
        return m_function;
    }
    return m_function.substr(found, open - found);
}

}  // namespace orq::libs::core
