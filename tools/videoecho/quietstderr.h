// While alive, sends the process's standard error to /dev/null. The segment layer and the host
// logger write diagnostic lines there that are meant for a host's log; videoecho prints its own
// one-line explanation instead (unless --verbose). Used on one thread at a time.
#pragma once

namespace videoecho {

class QuietStderr {
public:
    explicit QuietStderr(bool active);
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};

}  // namespace videoecho
