#pragma once

#include <boost/optional.hpp>

#include <string>

namespace orq::libs::core::http {

// The outcome of one request: a status code when a response came in, and
// either the body of a 2xx response (data) or an error text (error): the body
// of any other response, or the transport's error message when no response
// came in.
class result {
public:
    // A response: 2xx puts the body in data(), any other status in error().
    result(std::string _data, int _status_code);
    // No response: only the error text.
    explicit result(std::string _error);

    // True exactly when the status code is from 200 to 299.
    bool ok() const;
    boost::optional<int> status_code() const { return m_code; }
    // A reference into this result, or none.
    boost::optional<const std::string&> data() const& {
        return m_data ? boost::optional<const std::string&>(*m_data) : boost::none;
    }
    boost::optional<std::string> data() && { return std::move(m_data); }
    boost::optional<std::string> error() const { return m_error; }

private:
    boost::optional<int> m_code;
    boost::optional<std::string> m_data;
    boost::optional<std::string> m_error;
};

}  // namespace orq::libs::core::http
