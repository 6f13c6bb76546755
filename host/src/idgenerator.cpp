#include <host/idgenerator.h>

#include <random>

namespace vantor {

IdGenerator& IdGenerator::instance() {
    static IdGenerator generator;
    return generator;
}

// Ids start at a random point well inside the 64-bit range, so that ids of different processes
// rarely meet and so that every id has 19 or 20 decimal digits, like the host's.
IdGenerator::IdGenerator() {
    std::random_device device;
    std::mt19937_64 engine((static_cast<uint64_t>(device()) << 32) ^ device());
    next_ = (engine() | (uint64_t{1} << 62)) & ~uint64_t{0xFFFFF};
}

uint64_t IdGenerator::getUuid() {
    return next_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace vantor
