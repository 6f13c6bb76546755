#include "commands.h"

namespace videoecho {

OptionInfo verboseOption() {
    return {"verbose", "", "also show the library's and segment layer's own log lines"};
}

}  // namespace videoecho
