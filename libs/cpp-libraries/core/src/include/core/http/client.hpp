#pragma once

#include <core/async_operation_handle.hpp>
#include <core/http/method.hpp>
#include <core/http/result.hpp>

#include <boost/utility/string_view.hpp>

#include <memory>
#include <string>

namespace orq::libs::core::http {

// Talks to one HTTP service: every request's address is appended to the base
// address the client was created with. Synchronous requests block the caller;
// asynchronous ones run on the client's worker threads and deliver their
// result on the event loop that created the client. Requests with a disabled
// method are never sent and give status 200 with an empty body. A non-empty
// body is sent as JSON.
//
// Transport failures and HTTP error statuses are results, not exceptions.
class client {
public:
    using ptr = std::unique_ptr<client>;
    using handle_ptr = async_operation_handle<result>::ptr;
    using callback = async_operation_handle<result>::callback;

    virtual ~client() = default;

    // The views must stay valid for the call; it returns once the transfer ended.
    virtual result perform_request(method _method, boost::string_view _address) = 0;
    virtual result perform_request(method _method, boost::string_view _address, boost::string_view _body) = 0;

    // Dropping the returned handle drops the request: if no worker has picked
    // it up yet, it is never sent. restart() on the handle sends it again.
    virtual handle_ptr perform_async_request(method _method, std::string _address, callback _callback) = 0;
    virtual handle_ptr perform_async_request(method _method, std::string _address, std::string _body,
                                             callback _callback) = 0;
    // Without a callback: the result reaches the handle only through the
    // loop, so a caller on the loop's thread can install one afterwards.
    virtual handle_ptr perform_async_request(method _method, std::string _address, std::string _body) = 0;
};

}  // namespace orq::libs::core::http
