#include <core/http/result.hpp>

#include <utility>

namespace orq::libs::core::http {

result::result(std::string _data, int _status_code) : m_code(_status_code) {
    if (ok()) {
        m_data = std::move(_data);
    } else {
        m_error = std::move(_data);
    }
}

result::result(std::string _error) : m_error(std::move(_error)) {}

bool result::ok() const {
    return m_code && *m_code >= 200 && *m_code <= 299;
}

}  // namespace orq::libs::core::http
