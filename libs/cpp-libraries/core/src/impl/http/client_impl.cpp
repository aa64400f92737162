#include "client_impl.hpp"

#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>
#include <core/version.hpp>

#include <boost/asio/post.hpp>

#include <string>
#include <utility>

namespace orq::libs::core::http {

namespace {

// The request body is declared as JSON whenever there is one; without one,
// "Content-Type:" keeps libcurl from declaring a form. "Expect:" keeps libcurl
// from asking for "100 Continue" before a large body, and from then waiting
// for it when the server does not answer that way.
constexpr const char* content_type_header = "content-type: application/json";
constexpr const char* no_content_type_header = "Content-Type:";
constexpr const char* no_expect_header = "Expect:";
constexpr long connect_timeout_seconds = 10;
// Bounds a redirect loop, which would otherwise run until the transfer time-out
// (forever when there is none).
constexpr long max_redirects = 30;

// Appends what libcurl received to the response body. Running out of memory
// aborts the transfer instead of throwing through libcurl.
std::size_t write_body(char* _data, std::size_t _size, std::size_t _count, void* _body) noexcept {
    const std::size_t bytes = _size * _count;
    try {
        static_cast<std::string*>(_body)->append(_data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

// The easy handle of the worker thread running on this thread, if any: each
// worker keeps one for its whole life, so its connections stay open from one
// request to the next without any lock.
struct worker_easy_handle {
    const client_impl* owner = nullptr;
    CURL* handle = nullptr;
};
thread_local worker_easy_handle t_worker_easy_handle;

// The options of one transfer. A refused option ends the setting: the request
// must not go out other than asked, so its result carries the refusal instead.
class easy_options {
public:
    explicit easy_options(CURL* _handle) : m_handle(_handle) {}

    template <typename Value>
    void set(CURLoption _option, const char* _name, Value _value) {
        if (m_error) {
            return;
        }
        const CURLcode code = curl_easy_setopt(m_handle, _option, _value);
        if (code != CURLE_OK) {
            m_error = std::string("curl_easy_setopt failed for ") + _name + ":" + curl_easy_strerror(code);
        }
    }

    const boost::optional<std::string>& error() const { return m_error; }

private:
    CURL* m_handle;
    boost::optional<std::string> m_error;
};

// Names the option in the refusal.
#define ORQ_SET_OPTION(options, option, value) (options).set(option, #option, value)

// A header list of two lines, owned by the client and read by every transfer.
client_impl::header_list make_headers(const char* _first, const char* _second) {
    client_impl::header_list list(curl_slist_append(nullptr, _first));
    ORQ_CHECK(list != NULL);
    curl_slist* const appended = curl_slist_append(list.get(), _second);
    ORQ_CHECK(appended != NULL);
    return list;
}

std::size_t worker_thread_count(int _num_threads) {
    if (_num_threads < 1) {
        throw exception("HTTP client needs at least one worker thread, got " + std::to_string(_num_threads),
                        ORQ_SOURCE_LOCATION);
    }
    return static_cast<std::size_t>(_num_threads);
}

}  // namespace

namespace detail {

easy_handles::~easy_handles() {
    for (CURL* const handle : m_idle) {
        curl_easy_cleanup(handle);
    }
}

CURL* easy_handles::acquire() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_idle.empty()) {
            CURL* const handle = m_idle.back();
            m_idle.pop_back();
            return handle;
        }
    }
    return curl_easy_init();
}

void easy_handles::release(CURL* _handle) noexcept {
    curl_easy_reset(_handle);
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(_handle);
    } catch (...) {
        curl_easy_cleanup(_handle);
    }
}

}  // namespace detail

client_impl::client_impl(events_loop& _main_events_loop, core& _core, const component_logger& _logger,
                         const std::string& _address, std::chrono::seconds _timeout,
                         const std::vector<method>& _disabled_methods, int _num_threads)
    : m_main_events_loop(_main_events_loop),
      m_logger(_logger),
      m_address(_address),
      m_base_url(_address),
      m_timeout(_timeout),
      m_disabled_methods(_disabled_methods.begin(), _disabled_methods.end()),
      m_shared_curl_data(),
      m_json_headers(make_headers(no_expect_header, content_type_header)),
      m_plain_headers(make_headers(no_expect_header, no_content_type_header)),
      m_easy_handles(),
      m_alive(std::make_shared<const bool>(true)),
      m_worker_events_loop(_core.create_events_loop("http_client::worker")),
      m_worker_events_loop_work(m_worker_events_loop->create_work()),
      m_worker_thread_pool(worker_thread_count(_num_threads)) {
    // Each job holds one pool thread inside the worker loop for the client's
    // lifetime (the work object keeps run() from returning while idle). A
    // handler that throws anyway is logged and the thread goes on serving.
    for (int i = 0; i < _num_threads; ++i) {
        boost::asio::post(m_worker_thread_pool, [this] {
            // Null if libcurl cannot make one: the requests then take handles
            // from m_easy_handles.
            CURL* const handle = curl_easy_init();
            t_worker_easy_handle = {this, handle};
            m_worker_events_loop->run_catch_exceptions(ORQ_SOURCE_LOCATION);
            t_worker_easy_handle = {};
            if (handle != nullptr) {
                curl_easy_cleanup(handle);
            }
        });
    }
}

client_impl::~client_impl() {
    m_alive.reset();
    m_worker_events_loop_work.reset();
    m_worker_events_loop->stop();
    // A transfer in progress ends first (bounded by m_timeout unless it is 0).
    m_worker_thread_pool.join();
}

result client_impl::perform_request(method _method, boost::string_view _address) {
    return perform_request(_method, _address, boost::string_view());
}

result client_impl::perform_request(method _method, boost::string_view _address, boost::string_view _body) {
    return perform_request_impl(_method, _address, _body);
}

client::handle_ptr client_impl::perform_async_request(method _method, std::string _address, callback _callback) {
    return perform_async_request(_method, std::move(_address), std::string(), std::move(_callback));
}

client::handle_ptr client_impl::perform_async_request(method _method, std::string _address, std::string _body,
                                                      callback _callback) {
    return perform_async_request_impl(_method, std::move(_address), std::move(_body), std::move(_callback));
}

client::handle_ptr client_impl::perform_async_request(method _method, std::string _address, std::string _body) {
    return perform_async_request_impl(_method, std::move(_address), std::move(_body), callback());
}

result client_impl::perform_request_impl(method _method, boost::string_view _address, boost::string_view _body) {
    const char* const method_name = to_string(_method);
    detail::request_url url = m_base_url.join(_address);
    if (url.error) {
        return result(std::move(*url.error));
    }

    const bool on_own_worker = t_worker_easy_handle.owner == this && t_worker_easy_handle.handle != nullptr;
    CURL* const curl_handle = on_own_worker ? t_worker_easy_handle.handle : m_easy_handles.acquire();
    ORQ_CHECK(curl_handle != NULL);
    // Options go, open connections and caches stay.
    const scope_guard handle_guard = make_scope_guard([this, curl_handle, on_own_worker] {
        if (on_own_worker) {
            curl_easy_reset(curl_handle);
        } else {
            m_easy_handles.release(curl_handle);
        }
    });

    std::string body;
    easy_options options(curl_handle);
    ORQ_SET_OPTION(options, CURLOPT_USERAGENT, constants::project_name.c_str());
    ORQ_SET_OPTION(options, CURLOPT_HTTPHEADER, _body.empty() ? m_plain_headers.get() : m_json_headers.get());
    // POST and PUT always carry content, if only "Content-Length: 0"; the
    // other methods carry the body they are given.
    const bool with_content = !_body.empty() || _method == method::post || _method == method::put;
    if (with_content) {
        ORQ_SET_OPTION(options, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(_body.size()));
        // Not copied: the transfer happens inside this call. Never null, which
        // would make libcurl read the body through a read function.
        ORQ_SET_OPTION(options, CURLOPT_POSTFIELDS, _body.empty() ? "" : _body.data());
    }
    if (_method == method::post) {
        // libcurl's own POST, not a custom verb: after 301, 302 and 303 the
        // next request is a GET without the body, after 307 and 308 the same POST.
        ORQ_SET_OPTION(options, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_GET_ALL));
    } else if (_method == method::get && !with_content) {
        ORQ_SET_OPTION(options, CURLOPT_HTTPGET, 1L);
    } else {
        // A custom verb is sent on every request of the transfer, redirected
        // ones included; the body goes along on every redirect too.
        ORQ_SET_OPTION(options, CURLOPT_CUSTOMREQUEST, method_name);
        if (with_content) {
            ORQ_SET_OPTION(options, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
        }
    }
    ORQ_SET_OPTION(options, CURLOPT_WRITEFUNCTION, &write_body);
    ORQ_SET_OPTION(options, CURLOPT_WRITEDATA, static_cast<void*>(&body));
    ORQ_SET_OPTION(options, CURLOPT_TIMEOUT, static_cast<long>(m_timeout.count()));
    ORQ_SET_OPTION(options, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    ORQ_SET_OPTION(options, CURLOPT_FOLLOWLOCATION, 1L);
    ORQ_SET_OPTION(options, CURLOPT_MAXREDIRS, max_redirects);
    // libcurl's signal-based DNS time-outs are unsafe with threads.
    ORQ_SET_OPTION(options, CURLOPT_NOSIGNAL, 1L);
    ORQ_SET_OPTION(options, CURLOPT_SHARE, m_shared_curl_data.get_ptr());
    ORQ_SET_OPTION(options, CURLOPT_URL, url.url.c_str());
    if (options.error()) {
        return result(*options.error());
    }

    if (m_disabled_methods.count(_method) != 0) {
        return result(std::move(body), 200);
    }
    const CURLcode code = curl_easy_perform(curl_handle);
    if (code != CURLE_OK) {
        return result(std::string("curl_easy_perform failed:") + curl_easy_strerror(code));
    }
    long status = 200;
    curl_easy_getinfo(curl_handle, CURLINFO_RESPONSE_CODE, &status);
    return result(std::move(body), static_cast<int>(status));
}

client::handle_ptr client_impl::perform_async_request_impl(method _method, std::string _address, std::string _body,
                                                           callback _callback) {
    auto address = std::make_shared<const std::string>(std::move(_address));
    auto body = std::make_shared<const std::string>(std::move(_body));
    // Runs on start() and on every restart(). Only the weak pointer to the
    // handle travels with the job: the handle's owner decides its lifetime.
    auto start = [this, alive = std::weak_ptr<const bool>(m_alive), _method, address = std::move(address),
                  body = std::move(body)](handle_impl::ptr /*_self*/, std::weak_ptr<handle_impl> _weak_self) {
        if (alive.expired()) {
            // restart() on a handle that outlived its client: nothing to send.
            return;
        }
        m_worker_events_loop->post(
            [this, alive, weak_self = std::move(_weak_self), _method, address, body] {
                if (alive.expired()) {
                    // The client is being destroyed: requests not started yet are dropped.
                    return;
                }
                run_worker_job(weak_self, _method, *address, *body);
            },
            source_location());
    };
    handle_impl::ptr handle = handle_impl::create(m_main_events_loop, std::move(start));
    // Installed before the request can complete: a caller on any thread gets
    // its result, however fast the result reaches the loop.
    if (_callback) {
        handle->set_callback(std::move(_callback));
    }
    handle->start();
    return handle;
}

void client_impl::run_worker_job(const std::weak_ptr<handle_impl>& _handle, method _method, const std::string& _address,
                                 const std::string& _body) {
    if (_handle.expired()) {
        return;
    }
    // A failure to make an easy handle, or a method outside the enumeration,
    // completes the request with its text instead of leaving the worker loop.
    auto outcome = [&] {
        try {
            return perform_request_impl(_method, _address, _body);
        } catch (...) {
            return result(exception_to_string());
        }
    }();
    if (const auto handle = _handle.lock()) {
        handle->return_result(std::move(outcome));
    }
}

#undef ORQ_SET_OPTION

}  // namespace orq::libs::core::http
