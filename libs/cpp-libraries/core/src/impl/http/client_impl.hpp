#pragma once

#include "request_url.hpp"
#include "shared_curl_data.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>

#include <boost/asio/thread_pool.hpp>

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace orq::libs::core::http {

namespace detail {

// Idle easy handles of one client for the transfers that do not run on one of
// its worker threads (each worker has a handle of its own). A transfer takes
// one and gives it back reset, but with its connections still open, so the
// next transfer on that handle reuses them. There are never more handles than
// such transfers that ran at the same time.
class easy_handles {
public:
    easy_handles() = default;
    ~easy_handles();
    easy_handles(const easy_handles&) = delete;
    easy_handles& operator=(const easy_handles&) = delete;

    // An idle handle, or a new one; null if libcurl cannot make one.
    CURL* acquire();
    // Resets the handle's options and keeps it for the next transfer.
    void release(CURL* _handle) noexcept;

private:
    std::mutex m_mutex;
    std::vector<CURL*> m_idle;
};

}  // namespace detail

class client_impl final : public client {
public:
    using handle_impl = async_operation_handle_impl<result>;
    struct header_list_deleter {
        void operator()(curl_slist* _list) const noexcept { curl_slist_free_all(_list); }
    };
    using header_list = std::unique_ptr<curl_slist, header_list_deleter>;

    // Refuses (with the library's exception) fewer than one worker thread.
    client_impl(events_loop& _main_events_loop, core& _core, const component_logger& _logger,
                const std::string& _address, std::chrono::seconds _timeout,
                const std::vector<method>& _disabled_methods, int _num_threads);
    // Waits for the transfers in progress; requests no worker has started yet
    // are dropped unsent. Never call it from a worker thread.
    ~client_impl() override;

    client_impl(const client_impl&) = delete;
    client_impl& operator=(const client_impl&) = delete;

    result perform_request(method _method, boost::string_view _address) override;
    result perform_request(method _method, boost::string_view _address, boost::string_view _body) override;

    handle_ptr perform_async_request(method _method, std::string _address, callback _callback) override;
    handle_ptr perform_async_request(method _method, std::string _address, std::string _body,
                                     callback _callback) override;
    handle_ptr perform_async_request(method _method, std::string _address, std::string _body) override;

private:
    // One blocking transfer on the calling thread.
    result perform_request_impl(method _method, boost::string_view _address, boost::string_view _body);
    // _callback, when not empty, is installed before the request starts.
    handle_ptr perform_async_request_impl(method _method, std::string _address, std::string _body, callback _callback);
    // A queued asynchronous request, on a worker thread.
    void run_worker_job(const std::weak_ptr<handle_impl>& _handle, method _method, const std::string& _address,
                        const std::string& _body);

    events_loop& m_main_events_loop;
    // Nothing is logged yet: transfer failures reach the caller in its result.
    [[maybe_unused]] const component_logger& m_logger;
    const std::string m_address;
    const detail::base_url m_base_url;
    const std::chrono::seconds m_timeout;
    const std::set<method> m_disabled_methods;
    shared_curl_data m_shared_curl_data;
    // Header lists every transfer reads (libcurl only reads them): for a body,
    // and for none.
    const header_list m_json_headers;
    const header_list m_plain_headers;
    // Destroyed before the share handle they are attached to; so are the
    // workers' own handles, which the worker threads clean up when they end.
    detail::easy_handles m_easy_handles;
    // Released first by the destructor: queued jobs and start functions that
    // find it gone send nothing.
    std::shared_ptr<const bool> m_alive;
    events_loop::ptr m_worker_events_loop;
    events_loop::work::ptr m_worker_events_loop_work;
    boost::asio::thread_pool m_worker_thread_pool;
};

}  // namespace orq::libs::core::http
