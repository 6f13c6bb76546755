#include "statusline.h"

#include <unistd.h>

#include <cstdio>

namespace videoecho {

StatusLine::StatusLine() : tty_(isatty(STDOUT_FILENO) == 1) {}

StatusLine::~StatusLine() {
    finish();
}

void StatusLine::update(const std::string& text) {
    if (tty_) {
        std::printf("\r\x1b[K%s", text.c_str());
        open_ = true;
    } else {
        std::printf("%s\n", text.c_str());
    }
    std::fflush(stdout);
}

void StatusLine::message(const std::string& text) {
    if (tty_ && open_) {
        std::printf("\r\x1b[K");
        open_ = false;
    }
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void StatusLine::finish() {
    if (tty_ && open_) {
        std::printf("\n");
        std::fflush(stdout);
        open_ = false;
    }
}

}  // namespace videoecho
