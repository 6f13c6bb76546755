// Round trip of a void "AddEchoAddr" call over loopback against a plain asio echo of the same
// request bytes, measured in the same run. The interleaved benchmark reports median and p99 of
// both and their ratios (targets: median within 1.3x of the echo, p99 within 1.5x).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <asio.hpp>

#include <echorecordswire/echorecordsmsgpack.h>
#include <host/rpc/rpcclient.h>
#include <host/rpc/rpcserver.h>

namespace {

using Clock = std::chrono::steady_clock;

tarn::mediadispatch::VideoEchoAddr sampleAddr() {
    tarn::mediadispatch::VideoEchoAddr addr;
    addr.cardId.nodeId = "node-2";
    addr.cardId.id = 3;
    addr.cardId.deviceId = "card-9";
    addr.url = "rtsp://10.0.0.2:554/card-9";
    return addr;
}

// The request frame the RPC client sends for the call (id 1).
std::string requestFrame() {
    msgpack::sbuffer body;
    msgpack::pack(body, std::make_tuple(std::string("AddEchoAddr"), sampleAddr()));
    return host::rpc::encodeFrame(1, host::rpc::RequestType::kRequestResponse,
                                  std::string_view(body.data(), body.size()));
}

// A plain asio echo server on its own I/O thread: every byte read is written back.
class EchoServer {
public:
    EchoServer()
        : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}),
          work_(asio::make_work_guard(io_)) {
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~EchoServer() {
        asio::post(io_, [this] {
            acceptor_.close();
            io_.stop();
        });
        thread_.join();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

private:
    struct Session : std::enable_shared_from_this<Session> {
        explicit Session(asio::ip::tcp::socket s) : socket(std::move(s)) {
            socket.set_option(asio::ip::tcp::no_delay(true));
        }
        void read() {
            socket.async_read_some(asio::buffer(buffer), [self = shared_from_this()](
                                                             std::error_code error, std::size_t n) {
                if (!error) {
                    self->write(n);
                }
            });
        }
        void write(std::size_t n) {
            asio::async_write(socket, asio::buffer(buffer, n),
                              [self = shared_from_this()](std::error_code error, std::size_t) {
                                  if (!error) {
                                      self->read();
                                  }
                              });
        }
        asio::ip::tcp::socket socket;
        std::array<char, 65536> buffer{};
    };

    void accept() {
        acceptor_.async_accept([this](std::error_code error, asio::ip::tcp::socket socket) {
            if (error) {
                return;
            }
            std::make_shared<Session>(std::move(socket))->read();
            accept();
        });
    }

    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

// A blocking echo client on the calling thread.
class EchoClient {
public:
    explicit EchoClient(std::uint16_t port) : socket_(io_), frame_(requestFrame()), reply_(frame_) {
        socket_.connect({asio::ip::make_address("127.0.0.1"), port});
        socket_.set_option(asio::ip::tcp::no_delay(true));
    }
    void roundTrip() {
        asio::write(socket_, asio::buffer(frame_));
        asio::read(socket_, asio::buffer(reply_));
    }

private:
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    const std::string frame_;
    std::string reply_;
};

struct RpcPair {
    RpcPair() : client("127.0.0.1", server.port()) {
        server.registerRaw("AddEchoAddr", [](const char*, std::size_t) { return std::string(); });
        client.connect();
    }
    void roundTrip() { client.call<5000, void>("AddEchoAddr", addr); }

    host::rpc::RpcServer server;
    host::rpc::RpcClient client;
    const tarn::mediadispatch::VideoEchoAddr addr = sampleAddr();
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return values[index];
}

template <typename F>
double timedMicros(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void BM_AsioEchoRoundTrip(benchmark::State& state) {
    EchoServer server;
    EchoClient client(server.port());
    for (auto _ : state) {
        client.roundTrip();
    }
}
BENCHMARK(BM_AsioEchoRoundTrip)->UseRealTime();

void BM_RpcAddEchoAddrRoundTrip(benchmark::State& state) {
    RpcPair rpc;
    for (auto _ : state) {
        rpc.roundTrip();
    }
}
BENCHMARK(BM_RpcAddEchoAddrRoundTrip)->UseRealTime();

// Both round trips alternately, so that both see the same machine load.
void BM_RpcVersusEcho(benchmark::State& state) {
    EchoServer echoServer;
    EchoClient echo(echoServer.port());
    RpcPair rpc;
    std::vector<double> rpcMicros;
    std::vector<double> echoMicros;
    for (auto _ : state) {
        rpcMicros.push_back(timedMicros([&] { rpc.roundTrip(); }));
        echoMicros.push_back(timedMicros([&] { echo.roundTrip(); }));
    }
    const double rpcMedian = percentile(rpcMicros, 0.5);
    const double echoMedian = percentile(echoMicros, 0.5);
    const double rpcP99 = percentile(rpcMicros, 0.99);
    const double echoP99 = percentile(echoMicros, 0.99);
    state.counters["rpc_median_us"] = rpcMedian;
    state.counters["echo_median_us"] = echoMedian;
    state.counters["rpc_p99_us"] = rpcP99;
    state.counters["echo_p99_us"] = echoP99;
    state.counters["median_ratio"] = echoMedian > 0 ? rpcMedian / echoMedian : 0;
    state.counters["p99_ratio"] = echoP99 > 0 ? rpcP99 / echoP99 : 0;
}
BENCHMARK(BM_RpcVersusEcho)->UseRealTime()->Iterations(20000);

}  // namespace

BENCHMARK_MAIN();
