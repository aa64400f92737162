#include "request_url.hpp"

#include <new>
#include <utility>

namespace orq::libs::core::http::detail {

namespace {

struct string_deleter {
    void operator()(char* _text) const noexcept { curl_free(_text); }
};

using curl_text = std::unique_ptr<char, string_deleter>;

// One part of a parsed URL, owned; null when the URL has no such part.
curl_text fetch_part(CURLU* _url, CURLUPart _part, unsigned int _flags) {
    char* text = nullptr;
    const CURLUcode code = curl_url_get(_url, _part, &text, _flags);
    curl_text owned(text);
    if (code == CURLUE_OUT_OF_MEMORY) {
        throw std::bad_alloc();
    }
    if (code != CURLUE_OK) {
        owned.reset();
    }
    return owned;
}

// One part of a parsed URL; none when the URL has no such part.
boost::optional<std::string> get_part(CURLU* _url, CURLUPart _part, unsigned int _flags = 0) {
    const curl_text text = fetch_part(_url, _part, _flags);
    if (!text) {
        return boost::none;
    }
    return std::string(text.get());
}

base_url::origin origin_of(CURLU* _url) {
    base_url::origin result;
    result.scheme = get_part(_url, CURLUPART_SCHEME);
    result.user = get_part(_url, CURLUPART_USER);
    result.password = get_part(_url, CURLUPART_PASSWORD);
    result.host = get_part(_url, CURLUPART_HOST);
    result.zone = get_part(_url, CURLUPART_ZONEID);
    // "http://host" and "http://host:80" are the same service.
    result.port = get_part(_url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    return result;
}

// Whether a part of a parsed URL is the one given (none: the URL has no such
// part); compares without copying the part.
bool part_is(CURLU* _url, CURLUPart _part, const boost::optional<std::string>& _expected, unsigned int _flags = 0) {
    const curl_text text = fetch_part(_url, _part, _flags);
    if (!text) {
        return !_expected;
    }
    return _expected && *_expected == text.get();
}

bool has_origin(CURLU* _url, const base_url::origin& _origin) {
    return part_is(_url, CURLUPART_HOST, _origin.host) &&
           part_is(_url, CURLUPART_PORT, _origin.port, CURLU_DEFAULT_PORT) &&
           part_is(_url, CURLUPART_SCHEME, _origin.scheme) && part_is(_url, CURLUPART_USER, _origin.user) &&
           part_is(_url, CURLUPART_PASSWORD, _origin.password) && part_is(_url, CURLUPART_ZONEID, _origin.zone);
}

std::string malformed(const char* _what, CURLUcode _code, boost::string_view _address) {
    std::string text(_what);
    text.append(" (").append(curl_url_strerror(_code)).append("): ").append(_address.data(), _address.size());
    return text;
}

// A new URL handle, or a copy of one; running out of memory throws.
url_ptr make_url(CURLU* _from = nullptr) {
    url_ptr url(_from != nullptr ? curl_url_dup(_from) : curl_url());
    if (!url) {
        throw std::bad_alloc();
    }
    return url;
}

// Parses a whole URL into the handle; running out of memory throws, any other
// refusal is returned.
CURLUcode set_url(CURLU* _url, const std::string& _text, unsigned int _flags) {
    const CURLUcode code = curl_url_set(_url, CURLUPART_URL, _text.c_str(), _flags);
    if (code == CURLUE_OUT_OF_MEMORY) {
        throw std::bad_alloc();
    }
    return code;
}

std::string leaves_service(boost::string_view _address) {
    return "Request address leaves the client's service: " + std::string(_address);
}

// Parses a URL made from the request address and checks that it keeps the
// base's origin; why not, otherwise.
boost::optional<std::string> parse_within_origin(CURLU* _url, const std::string& _text, const base_url::origin& _origin,
                                                 const std::string& _address) {
    const CURLUcode code = set_url(_url, _text, 0);
    if (code != CURLUE_OK) {
        return malformed("Request address is malformed", code, _address);
    }
    if (!has_origin(_url, _origin)) {
        return leaves_service(_address);
    }
    return boost::none;
}

}  // namespace

base_url::base_url(const std::string& _address) : m_address(_address), m_url(make_url()) {
    // A base address without a scheme is taken the way libcurl takes such a
    // URL for a transfer ("localhost:8080" is http).
    const CURLUcode code = set_url(m_url.get(), m_address, CURLU_GUESS_SCHEME);
    if (code != CURLUE_OK) {
        m_url.reset();
        m_error = malformed("Base address is malformed", code, m_address);
        return;
    }
    m_origin = origin_of(m_url.get());
    m_query = get_part(m_url.get(), CURLUPART_QUERY);
    m_whole = get_part(m_url.get(), CURLUPART_URL).value_or(m_address);

    const url_ptr bare = make_url(m_url.get());
    curl_url_set(bare.get(), CURLUPART_QUERY, nullptr, 0);
    curl_url_set(bare.get(), CURLUPART_FRAGMENT, nullptr, 0);
    m_prefix = get_part(bare.get(), CURLUPART_URL).value_or(std::string());
    while (!m_prefix.empty() && m_prefix.back() == '/') {
        m_prefix.pop_back();
    }
}

base_url::~base_url() = default;

request_url base_url::join(boost::string_view _address) const {
    request_url result;
    if (m_error) {
        result.error = m_error;
        return result;
    }
    if (_address.empty()) {
        result.url = m_whole;
        return result;
    }
    const std::string address(_address);
    if (address.find('\0') != std::string::npos) {
        // libcurl would see only the text before it.
        result.error = "Request address contains a NUL character: " + address;
        return result;
    }

    // An absolute-path reference ("/x", RFC 3986) has neither scheme nor
    // authority, and appended as text it begins the path: only the URL it
    // gives needs checking.
    const bool absolute_path = address[0] == '/' && (address.size() == 1 || address[1] != '/');
    if (!absolute_path) {
        // Read as a reference relative to the base: an address with a scheme,
        // or with an authority of its own, resolves to another origin.
        const url_ptr resolved = make_url(m_url.get());
        result.error = parse_within_origin(resolved.get(), address, m_origin, address);
        if (result.error) {
            return result;
        }

        // Appended to the base as text: an address that begins with user
        // information and a host ("@host:port") was meant for another service.
        const url_ptr glued = make_url();
        if (set_url(glued.get(), m_address + address, CURLU_GUESS_SCHEME) == CURLUE_OK &&
            (!part_is(glued.get(), CURLUPART_USER, m_origin.user) ||
             !part_is(glued.get(), CURLUPART_PASSWORD, m_origin.password))) {
            result.error = leaves_service(address);
            return result;
        }
    }

    // The URL sent: the base's path, one "/", the address's path.
    std::string joined = m_prefix;
    joined.push_back('/');
    joined.append(address, address[0] == '/' ? 1 : 0, std::string::npos);
    const url_ptr url = make_url();
    result.error = parse_within_origin(url.get(), joined, m_origin, address);
    if (result.error) {
        return result;
    }
    if (!m_query || get_part(url.get(), CURLUPART_QUERY)) {
        // libcurl parses the same text again for the transfer.
        result.url = std::move(joined);
        return result;
    }
    const CURLUcode query_code = curl_url_set(url.get(), CURLUPART_QUERY, m_query->c_str(), 0);
    if (query_code != CURLUE_OK) {
        result.error = malformed("Base address's query cannot be kept", query_code, address);
        return result;
    }
    auto whole = get_part(url.get(), CURLUPART_URL);
    if (!whole) {
        result.error = "Request address gives no URL: " + address;
        return result;
    }
    result.url = std::move(*whole);
    return result;
}

}  // namespace orq::libs::core::http::detail
