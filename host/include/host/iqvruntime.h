// The host's multi-machine runtime: a task queue and a named-message channel between the main
// machine and the nodes. Held by the library as a raw, non-owned pointer; every operation may be
// called from any thread.
#pragma once

#include <functional>

namespace vantor {

// (text, data, size): `data[0..size)` is the payload; `text` is the runtime's own and not read by
// the echo library.
using RPCHandler = std::function<void(const char* text, const char* data, unsigned size)>;

class IQVRuntime {
public:
    virtual ~IQVRuntime() = default;

    // Runs `task` later on the runtime's task thread, in the order of posting. The caller destroys
    // its function object right after the call, so the runtime keeps a copy.
    virtual void postTask(const std::function<void()>& task, const char* file, int line,
                          const char* function) = 0;
    // Binds `handler` to `name`: on the main machine it serves the nodes' calls of `name`, on a
    // node it receives what the main machine publishes under `name`. A handler's exception goes
    // back into the runtime.
    virtual void registerHandler(const char* name, RPCHandler handler) = 0;
    virtual void unregisterHandler(const char* name) = 0;
    // Sends the payload under `name` to the other machines; `data` may be freed after the call.
    virtual void publish(const char* name, const char* data, unsigned size) = 0;
};

}  // namespace vantor
