#pragma once

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <curl/curl.h>

#include <memory>
#include <string>

namespace orq::libs::core::http::detail {

// The URL of one request, or why there is none.
struct request_url {
    std::string url;
    // Engaged when the request must not be sent; names the address.
    boost::optional<std::string> error;
};

struct url_deleter {
    void operator()(CURLU* _url) const noexcept { curl_url_cleanup(_url); }
};
using url_ptr = std::unique_ptr<CURLU, url_deleter>;

// A client's base address, parsed once with libcurl's URL API, and the URLs
// of its requests. A request address is a path (with or without a leading
// "/"), optionally with a query and a fragment; it is joined to the base
// address's path with exactly one "/" between them. A base address's query
// stays when the request address brings none.
//
// A request address that would take the request to another service is
// refused: one that, read as a reference relative to the base address, has a
// scheme or an authority of its own ("http://other", "//host", "host:port"),
// and one that, appended to the base address as text, would put user
// information into it ("@host:port"). So is one libcurl cannot parse.
//
// Immutable once constructed: joins may run on any number of threads at once.
class base_url {
public:
    // A base address libcurl cannot parse is not an error here: every join
    // then gives an error that names it.
    explicit base_url(const std::string& _address);
    ~base_url();
    base_url(const base_url&) = delete;
    base_url& operator=(const base_url&) = delete;

    request_url join(boost::string_view _address) const;

    // The parts of a URL that name the service: scheme, user information,
    // host (with its IPv6 zone) and port, the scheme's default port included.
    struct origin {
        boost::optional<std::string> scheme;
        boost::optional<std::string> user;
        boost::optional<std::string> password;
        boost::optional<std::string> host;
        boost::optional<std::string> zone;
        boost::optional<std::string> port;
    };

private:
    const std::string m_address;
    // Empty when the base address could not be parsed (m_error says why).
    url_ptr m_url;
    boost::optional<std::string> m_error;
    origin m_origin;
    // The base address without query and fragment, and without the "/" its
    // path may end in: a request's path follows it after one "/".
    std::string m_prefix;
    boost::optional<std::string> m_query;
    // The base address as libcurl writes it back, for an empty request address.
    std::string m_whole;
};

}  // namespace orq::libs::core::http::detail
