// Signals of the host's objects: thread-safe Boost.Signals2 signals whose lock is a std::mutex.
#pragma once

#include <mutex>

#include <boost/signals2.hpp>

namespace host {

template <typename... Args>
using Signal =
    typename boost::signals2::signal_type<void(Args...),
                                          boost::signals2::keywords::mutex_type<std::mutex>>::type;

using Connection = boost::signals2::connection;
using ScopedConnection = boost::signals2::scoped_connection;

}  // namespace host
