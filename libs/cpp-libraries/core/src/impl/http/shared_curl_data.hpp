#pragma once

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>

namespace orq::libs::core::http {

namespace detail {
// Initialises libcurl for the process, once, before the first client does
// anything with it (curl_global_init is not safe while other threads use
// libcurl). Throws the library's exception if libcurl cannot be initialised.
void initialise_curl();
}  // namespace detail

// The libcurl share handle of one client: cookies, the DNS cache and TLS
// session ids are shared by all its transfers, whichever thread runs them.
// The connection cache is deliberately not shared: libcurl does not support
// sharing it between transfers that run at the same time on different
// threads. Connections are reused through the client's long-lived easy
// handles instead.
class shared_curl_data {
public:
    shared_curl_data();
    ~shared_curl_data();
    shared_curl_data(const shared_curl_data&) = delete;
    shared_curl_data& operator=(const shared_curl_data&) = delete;

    CURLSH* get_ptr() const { return m_data.get(); }

private:
    struct curl_share_deleter {
        void operator()(CURLSH* _share) const noexcept { curl_share_cleanup(_share); }
    };

    // Called by libcurl around every access to shared data. Every lock is
    // exclusive, whatever access libcurl asks for.
    static void lock(CURL* _handle, curl_lock_data _data, curl_lock_access _access, void* _self) noexcept;
    static void unlock(CURL* _handle, curl_lock_data _data, void* _self) noexcept;

    std::unique_ptr<CURLSH, curl_share_deleter> m_data;
    // One per lock-data kind, indexed by libcurl's curl_lock_data value.
    std::array<std::mutex, 8> m_mutexes;
};

}  // namespace orq::libs::core::http
