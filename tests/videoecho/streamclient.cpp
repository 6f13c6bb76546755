#include "streamclient.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

namespace videoechotest {

ProgramResult runProgram(const std::vector<std::string>& argv, int timeoutMs) {
    ProgramResult result;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return result;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool timedOut = false;
    std::vector<char> buffer(1 << 16);
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                const ssize_t n = read(fds[i].fd, buffer.data(), buffer.size());
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                } else {
                    sinks[i]->append(buffer.data(), static_cast<size_t>(n));
                }
            }
        }
    }
    if (timedOut) {
        kill(pid, SIGKILL);
    }
    for (auto& f : fds) {
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = timedOut ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    return result;
}

ProgramResult probe(const std::string& url, ProbedStream& stream) {
    ProgramResult result =
        runProgram({"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-select_streams", "v:0",
                    "-show_entries", "stream=codec_name,width,height,r_frame_rate", "-of",
                    "default=noprint_wrappers=1", url},
                   20000);
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "codec_name") {
            stream.codec = value;
        } else if (key == "width") {
            stream.width = std::stoi(value);
        } else if (key == "height") {
            stream.height = std::stoi(value);
        } else if (key == "r_frame_rate") {
            const auto slash = value.find('/');
            const double den = slash == std::string::npos ? 1 : std::stod(value.substr(slash + 1));
            stream.frameRate = den > 0 ? std::stod(value.substr(0, slash)) / den : 0;
        }
    }
    return result;
}

ProgramResult decodeI420(const std::string& url, double seconds) {
    return runProgram({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error",
                       "-rtsp_transport", "tcp", "-i", url, "-t", std::to_string(seconds),
                       "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"},
                      static_cast<int>(seconds * 1000) + 20000);
}

}  // namespace videoechotest
