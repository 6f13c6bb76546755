#include "commands.h"

namespace videoecho {

OptionSpec verboseOption() {
    return {"verbose", "", "also show the library's and segment layer's own log lines"};
}

}  // namespace videoecho
