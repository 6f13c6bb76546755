// Progress output: on a terminal one line rewritten in place, when piped one plain line per
// update. Writes to stdout; one thread uses it.
#pragma once

#include <string>

namespace videoecho {

class StatusLine {
public:
    StatusLine();
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // The progress text of the moment.
    void update(const std::string& text);
    // A message that stays (printed on its own line, above the progress line on a terminal).
    void message(const std::string& text);
    // Ends the progress line so that what follows starts on a fresh line.
    void finish();

private:
    bool tty_;
    bool open_ = false;  // a progress line is on the terminal without its newline
};

}  // namespace videoecho
