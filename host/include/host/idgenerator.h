// The host's id generator singleton: fresh, process-unique 64-bit ids. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

namespace vantor {

class IdGenerator {
public:
    static IdGenerator& instance();
    uint64_t getUuid();

private:
    IdGenerator();
    std::atomic<uint64_t> next_;
};

}  // namespace vantor
