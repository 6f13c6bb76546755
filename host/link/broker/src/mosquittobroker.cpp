#include <host/link/mosquittobroker.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace host::link {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kPortAttempts = 10;

class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopbackAddress(const std::string& host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return address;
}

// A port that was free a moment ago; the broker may still lose it to someone else, so the caller
// retries.
std::uint16_t freePort(const std::string& host) {
    Socket socket;
    auto address = loopbackAddress(host, 0);
    if (socket.fd() < 0 ||
        ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return 0;
    }
    socklen_t length = sizeof address;
    ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool accepting(const std::string& host, std::uint16_t port) {
    Socket socket;
    const auto address = loopbackAddress(host, port);
    return socket.fd() >= 0 &&
           ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Starts `args` with stdout and stderr appended to `output`. The child gets SIGTERM when the
// thread that started it ends, so a crashed test leaves no broker behind.
pid_t spawn(std::vector<std::string> args, const std::string& output) {
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent || in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(out, 2) < 0) {
            ::_exit(127);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    if (in >= 0) {
        ::close(in);
    }
    if (out >= 0) {
        ::close(out);
    }
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string currentUser() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr ? entry->pw_name : "root";
}

}  // namespace

struct MosquittoBroker::Impl {
    MosquittoBrokerOptions options;
    fs::path folder;
    std::uint16_t port = 0;
    pid_t pid = -1;

    fs::path config() const { return folder / "mosquitto.conf"; }
    fs::path output() const { return folder / "mosquitto.out"; }

    ~Impl() {
        stop();
        std::error_code ignored;
        if (!folder.empty()) {
            fs::remove_all(folder, ignored);
        }
    }

    bool makeFolder() {
        std::string pattern = (fs::temp_directory_path() / "tarn-mosquitto-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            return false;
        }
        folder = pattern;
        return true;
    }

    bool writeUsers(std::string* error) {
        std::ofstream acl(folder / "acl");
        bool first = true;
        for (const auto& installation : options.installations) {
            std::vector<std::string> args = {"mosquitto_passwd", "-b"};
            if (first) {
                args.push_back("-c");
            }
            args.insert(args.end(),
                        {(folder / "passwd").string(), installation.user, installation.password});
            const pid_t child = spawn(std::move(args), output().string());
            const int status = child > 0 ? waitExit(child) : -1;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                if (error) {
                    *error = "mosquitto_passwd failed for " + installation.user;
                }
                return false;
            }
            first = false;
            acl << "user " << installation.user << "\ntopic readwrite " << installation.prefix
                << "/#\n\n";
        }
        return static_cast<bool>(acl);
    }

    void writeConfig() {
        std::ofstream conf(config());
        conf << "listener " << port << " " << options.bindAddress << "\n"
             << "user " << currentUser() << "\n"
             << "set_tcp_nodelay true\n"
             << "allow_anonymous false\n"
             << "password_file " << (folder / "passwd").string() << "\n"
             << "acl_file " << (folder / "acl").string() << "\n"
             << "max_packet_size " << options.maxPacketBytes << "\n"
             << "max_queued_messages " << options.maxQueuedMessages << "\n"
             << "persistence " << (options.persistence ? "true" : "false") << "\n"
             << "persistence_location " << folder.string() << "/\n"
             << "autosave_interval " << options.autosaveInterval.count() << "\n"
             << "log_dest stderr\n"
             << "log_type error\nlog_type warning\nlog_type notice\n";
    }

    // Starts the process and waits until it accepts connections; false if it exited instead.
    bool launch(std::chrono::milliseconds timeout) {
        pid = spawn({"mosquitto", "-c", config().string()}, output().string());
        if (pid < 0) {
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            if (accepting(options.bindAddress, port)) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        stop();
        return false;
    }

    void signalAndWait(int signal) {
        if (pid <= 0) {
            return;
        }
        ::kill(pid, signal);
        if (signal == SIGTERM) {
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            int status = 0;
            while (std::chrono::steady_clock::now() < deadline) {
                if (::waitpid(pid, &status, WNOHANG) == pid) {
                    pid = -1;
                    return;
                }
                std::this_thread::sleep_for(10ms);
            }
            ::kill(pid, SIGKILL);
        }
        waitExit(pid);
        pid = -1;
    }

    void stop() { signalAndWait(SIGTERM); }
};

std::unique_ptr<MosquittoBroker> MosquittoBroker::start(MosquittoBrokerOptions options,
                                                        std::string* error) {
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    if (!impl->makeFolder()) {
        if (error) {
            *error = "cannot create a temporary folder";
        }
        return nullptr;
    }
    if (!impl->writeUsers(error)) {
        return nullptr;
    }
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        impl->port = freePort(impl->options.bindAddress);
        if (impl->port == 0) {
            continue;
        }
        impl->writeConfig();
        if (impl->launch(10s)) {
            return std::unique_ptr<MosquittoBroker>(new MosquittoBroker(std::move(impl)));
        }
    }
    if (error) {
        std::ifstream log(impl->output());
        std::stringstream text;
        text << log.rdbuf();
        *error = "mosquitto did not start: " + text.str();
    }
    return nullptr;
}

MosquittoBroker::MosquittoBroker(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MosquittoBroker::~MosquittoBroker() = default;

const std::string& MosquittoBroker::host() const {
    return impl_->options.bindAddress;
}
std::uint16_t MosquittoBroker::port() const {
    return impl_->port;
}
pid_t MosquittoBroker::pid() const {
    return impl_->pid;
}
void MosquittoBroker::stop() {
    impl_->stop();
}
void MosquittoBroker::kill() {
    impl_->signalAndWait(SIGKILL);
}

bool MosquittoBroker::restart(std::chrono::milliseconds timeout) {
    if (impl_->pid > 0) {
        return true;
    }
    // The old socket may linger for a moment; try until the time-out.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (impl_->launch(timeout)) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

std::string MosquittoBroker::log() const {
    std::ifstream file(impl_->output());
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace host::link
