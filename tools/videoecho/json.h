// A small JSON reader for the reports that Google Benchmark programs print with
// --benchmark_format=json. Parses a whole document into a tree; throws RunError on malformed
// input. Plain values.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace videoecho {

struct JsonValue {
    enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<JsonValue> array;
    std::map<std::string, JsonValue> object;

    // The member `key` of an object, or null when absent (or not an object).
    const JsonValue* find(const std::string& key) const;
};

JsonValue parseJson(const std::string& text);

}  // namespace videoecho
