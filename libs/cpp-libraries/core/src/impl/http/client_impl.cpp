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

// The request body is declared as JSON whenever there is one.
constexpr const char* content_type_header = "content-type: application/json";
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
      m_timeout(_timeout),
      m_disabled_methods(_disabled_methods.begin(), _disabled_methods.end()),
      m_shared_curl_data(),
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
    handle_ptr handle = perform_async_request_impl(_method, std::move(_address), std::move(_body));
    handle->set_callback(std::move(_callback));
    return handle;
}

client::handle_ptr client_impl::perform_async_request(method _method, std::string _address, std::string _body) {
    return perform_async_request_impl(_method, std::move(_address), std::move(_body));
}

result client_impl::perform_request_impl(method _method, boost::string_view _address, boost::string_view _body) {
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
    curl_slist* headers = nullptr;
    const scope_guard headers_guard = make_scope_guard([&headers] { curl_slist_free_all(headers); });

    if (!_body.empty()) {
        curl_slist* const appended = curl_slist_append(headers, content_type_header);
        ORQ_CHECK(appended != NULL);
        headers = appended;
        curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(_body.size()));
        // Not copied: the transfer happens inside this call.
        curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDS, _body.data());
    }

    const char* const method_name = to_string(_method);
    std::string body;
    std::string url;
    url.reserve(m_address.size() + _address.size());
    url.append(m_address).append(_address.data(), _address.size());

    curl_easy_setopt(curl_handle, CURLOPT_USERAGENT, constants::project_name.c_str());
    curl_easy_setopt(curl_handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_handle, CURLOPT_CUSTOMREQUEST, method_name);
    curl_easy_setopt(curl_handle, CURLOPT_WRITEFUNCTION, &write_body);
    curl_easy_setopt(curl_handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl_handle, CURLOPT_TIMEOUT, static_cast<long>(m_timeout.count()));
    curl_easy_setopt(curl_handle, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    curl_easy_setopt(curl_handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl_handle, CURLOPT_MAXREDIRS, max_redirects);
    // libcurl's signal-based DNS time-outs are unsafe with threads.
    curl_easy_setopt(curl_handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_handle, CURLOPT_SHARE, m_shared_curl_data.get_ptr());
    curl_easy_setopt(curl_handle, CURLOPT_URL, url.c_str());

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

client::handle_ptr client_impl::perform_async_request_impl(method _method, std::string _address, std::string _body) {
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

}  // namespace orq::libs::core::http
