// A first-in first-out queue that holds at most `bound` items; push() refuses beyond it. Not
// thread-safe: the owner guards it.
#pragma once

#include <cstddef>
#include <deque>
#include <utility>

namespace host::link {

template <typename T>
class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t bound) : bound_(bound) {}

    bool push(T item) {
        if (items_.size() >= bound_) {
            return false;
        }
        items_.push_back(std::move(item));
        return true;
    }
    std::deque<T> takeAll() { return std::exchange(items_, {}); }
    std::size_t size() const { return items_.size(); }

private:
    std::size_t bound_;
    std::deque<T> items_;
};

}  // namespace host::link
