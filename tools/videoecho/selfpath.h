// The path of the running executable, for re-executing it with an internal subcommand.
#pragma once

#include <string>

namespace videoecho {

// /proc/self/exe resolved; `fallback` (argv[0]) when that fails.
std::string selfPath(const char* fallback);

}  // namespace videoecho
