#include <core/source_location.hpp>
#include <core/version.hpp>

#include <algorithm>

namespace orq::libs::core {

boost::string_view source_location::short_file() const {
    return remove_directory_prefix(m_file);
}

boost::string_view source_location::remove_directory_prefix(boost::string_view _path) const {
    const auto n = std::min(constants::source_directory.size(), _path.size());
    return _path.substr(n);
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
