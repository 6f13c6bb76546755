// Decimal text of integers, as the host's string utilities give it.
#pragma once

#include <cstdint>
#include <string>

namespace qvctuils {

struct StringUtils {
    static std::string to_string(int value) { return std::to_string(value); }
    static std::string to_string(uint64_t value) { return std::to_string(value); }
};

}  // namespace qvctuils
