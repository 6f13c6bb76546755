// One machine of `demo --machines`: the main machine (RPC server runtime and the multi-machine
// proxy server) or a node (RPC client runtime and a proxy client), each with one display card of
// its own whose echo server the manager creates. Driven by the demo through stdin lines:
// "go" makes the machine echo its card and play a media on it, "send S" sends S seconds of a
// stamped pattern on it, "watch" / "unwatch" play the other machines' cards and report what
// arrived, "report" prints the addresses and splice strategies it holds, end of input ends it.
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <echorecordswire/echorecordsmsgpack.h>
#include <fmt/format.h>
#include <host/rpc/mainmachineruntime.h>
#include <host/rpc/noderuntime.h>
#include <host/videoecho.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyclient.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "commands.h"
#include "demo_link.h"
#include "demo_picture.h"
#include "demohost.h"
#include "demoprotocol.h"
#include "echosources.h"

namespace videoecho {

namespace {

using tarn::mediadispatch::VideoEchoAddr;
using tarn::mediadispatch::VideoEchoSpliceStrategy;

// A node's manager that also remembers what the main machine sent it (the proxy client hands
// addresses to AddMedia and strategies to updateSpliceStrategy), so the demo can show it.
class ReceivingEchoMgr : public tarn::mediadispatch::VideoEchoMgr {
public:
    void AddMedia(const VideoEchoAddr& addr) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            addrs_.push_back(addr);
        }
        VideoEchoMgr::AddMedia(addr);
    }
    void updateSpliceStrategy(const VideoEchoSpliceStrategy& strategy) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            strategies_.push_back(strategy);
        }
        VideoEchoMgr::updateSpliceStrategy(strategy);
    }
    std::vector<VideoEchoAddr> receivedAddrs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return addrs_;
    }
    std::vector<VideoEchoSpliceStrategy> receivedStrategies() {
        std::lock_guard<std::mutex> lock(mutex_);
        return strategies_;
    }

private:
    std::mutex mutex_;
    std::vector<VideoEchoAddr> addrs_;                 // guarded by mutex_
    std::vector<VideoEchoSpliceStrategy> strategies_;  // guarded by mutex_
};

std::string regionsText(const VideoEchoSpliceStrategy& s) {
    std::string text;
    for (const auto& r : s.regions) {
        text += fmt::format("{}{}@{}x{}+{}+{}", text.empty() ? "" : ",", r.mediaId, r.rect.width,
                            r.rect.height, r.rect.x, r.rect.y);
    }
    return text.empty() ? "none" : text;
}

void report(const std::string& machine, const std::string& source,
            const std::vector<VideoEchoAddr>& addrs,
            const std::vector<VideoEchoSpliceStrategy>& strategies) {
    for (const auto& a : addrs) {
        emitDemoRecord("echo", {{"machine", machine},
                                {"source", source},
                                {"kind", "addr"},
                                {"card", a.cardId.deviceId},
                                {"url", a.url}});
    }
    for (const auto& s : strategies) {
        emitDemoRecord("echo", {{"machine", machine},
                                {"source", source},
                                {"kind", "strategy"},
                                {"card", s.addr.cardId.deviceId},
                                {"regions", regionsText(s)}});
    }
}

// The pattern a machine plays on its card, and the card's size and rate: small enough that the
// machines of the demo encode and decode it on a shared 2-core machine.
constexpr int kPatternWidth = 640;
constexpr int kPatternHeight = 360;
constexpr double kPatternFps = 30;

int runMachine(const ParsedArgs& args, const char*) {
    const std::string role = args.value("role");
    const std::string name = args.value("name", role);
    if (role != "main" && role != "node") {
        throw UsageError("--role expects main or node");
    }
    const auto mediaId = static_cast<uint64_t>(
        parseInteger(args.value("media-id", "1"), "--media-id", 1, 1LL << 53));

    std::unique_ptr<host::rpc::MainMachineRuntime> mainRuntime;
    std::unique_ptr<host::rpc::NodeRuntime> nodeRuntime;
    vantor::IQVRuntime* runtime = nullptr;
    if (role == "main") {
        host::rpc::ServerOptions options;
        options.address = args.value("bind", "127.0.0.1");
        options.maxConnections = static_cast<std::size_t>(
            parseInteger(args.value("max-connections", "1024"), "--max-connections", 0, 1 << 20));
        mainRuntime = std::make_unique<host::rpc::MainMachineRuntime>(options);
        runtime = mainRuntime.get();
    } else {
        const auto port =
            static_cast<uint16_t>(parseInteger(args.value("port"), "--port", 1, 65535));
        const std::string mainHost = args.value("host", "127.0.0.1");
        nodeRuntime = std::make_unique<host::rpc::NodeRuntime>(mainHost, port);
        if (!nodeRuntime->waitConnected(std::chrono::seconds(5))) {
            throw RunError(fmt::format("{} could not connect to the main machine at {}:{}", name,
                                       mainHost, port));
        }
        runtime = nodeRuntime.get();
    }

    auto mgr = std::make_shared<ReceivingEchoMgr>();
    mgr->setQVRuntime(runtime);
    mgr->setVideoEchoServerEnabled(true);
    // Every machine of the demo may share this host: each serves its cards on a free port.
    tarn::mediadispatch::VideoEchoServerOptions serverOptions;
    serverOptions.port = 0;
    // Each machine puts its own address on the virtual link into its URLs.
    serverOptions.advertisedHost = args.value("advertise");
    tarn::mediadispatch::VideoEcho::setServerOptions(serverOptions);
    mgr->startVideoEchoServer();
    mgr->setVideoEchoResolution(kPatternWidth, kPatternHeight);
    mgr->setVideoEchoFPS(kPatternFps);
    mgr->setEditingMode(vantor::kEditingModeLive, false);

    tarn::mediadispatch::STDisplayCardId card;
    card.nodeId = name;
    card.id = 1;
    card.deviceId = name + "-card-1";
    mgr->setBoundDisplayCardsQueryCallback(
        [card](uint64_t, vantor::EditingMode) { return std::vector{card}; });

    tarn::mediadispatch::VideoEchoDisptachMultimachineProxyServer proxyServer;
    tarn::mediadispatch::VideoEchoDisptachMultimachineProxyClient proxyClient;
    std::vector<host::Connection> forwarding;
    if (role == "main") {
        proxyServer.setVideoEchoMgr(mgr);
        proxyServer.setRPCServer(runtime);
    } else {
        proxyClient.setVideoEchoMgr(mgr);
        proxyClient.setRPCClient(runtime);
        // The proxy client only receives; this host hands its own card's records to the main
        // machine, which applies them and republishes them to every node.
        forwarding.push_back(mgr->echoAddrChanged.connect([runtime](const VideoEchoAddr& a) {
            const auto payload = tarn::mediadispatch::wire::encodeArgument(a);
            runtime->publish("AddEchoAddr", payload.data(), static_cast<unsigned>(payload.size()));
        }));
        forwarding.push_back(
            mgr->spliceStrategyChanged.connect([runtime](const VideoEchoSpliceStrategy& s) {
                const auto payload = tarn::mediadispatch::wire::encodeArgument(s);
                runtime->publish("UpdateSpliceStrategy", payload.data(),
                                 static_cast<unsigned>(payload.size()));
            }));
    }
    auto link = startDemoMachineLink(
        args, name, role == "main", mgr,
        role == "main" ? args.value("bind", "127.0.0.1") : args.value("host", "127.0.0.1"),
        mainRuntime ? mainRuntime->port() : static_cast<uint16_t>(std::stoi(args.value("port"))));
    std::map<std::string, std::string> ready = {{"machine", name}};
    if (mainRuntime) {
        ready["port"] = std::to_string(mainRuntime->port());
    }
    emitDemoRecord("ready", ready);
    tarn::MediaInfo media;

    std::unique_ptr<DemoCardWatcher> watcher;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "go") {
            // The card's picture: the echo channel of the media it plays (the manager makes the
            // channel when the media is added), read back by the card's server on its composing
            // thread. The manager hands the callback to servers it creates from now on.
            mgr->setVideoEchoSourceCallBack(
                EchoChannelSources::callbackOf(std::make_shared<EchoChannelSources>(
                    std::map<uint64_t, std::string>{
                        {mediaId, demoEchoKey(mediaId, vantor::kEditingModeLive)}},
                    !args.has("verbose"))));
            // Echo the card (its server gets an address) and play a media on it (the server's
            // splice strategy gains the media's region, the whole card).
            mgr->addEcho(card, nullptr);
            mgr->createRecordVideo(card);
            auto host = dispatchPlayingMedia(*mgr, mediaId);
            mgr->removeDispatch();
            media = host->media();
            emitDemoRecord("done", {{"machine", name}});
        } else if (line.rfind("send ", 0) == 0) {
            const double seconds = parseNumber(line.substr(5), "send", 0.1, 3600);
            const uint64_t sent =
                sendDemoPattern(*mgr, media, kPatternWidth, kPatternHeight, kPatternFps, seconds);
            emitDemoRecord(
                "sent",
                {{"machine", name}, {"card", card.deviceId}, {"frames", std::to_string(sent)}});
        } else if (line == "watch") {
            // The cards of the other machines, as the proxies told this machine about them.
            std::vector<DemoCardWatcher::Card> cards;
            for (const auto& a : mgr->getAllVideoEchoAddr()) {
                if (a.cardId.nodeId != name && !a.url.empty()) {
                    cards.push_back({a.cardId.deviceId, a.url});
                }
            }
            watcher = std::make_unique<DemoCardWatcher>(cards);
            const size_t showing = watcher->waitFirstPictures(15000);
            emitDemoRecord("watching", {{"machine", name},
                                        {"cards", std::to_string(cards.size())},
                                        {"showing", std::to_string(showing)}});
        } else if (line == "unwatch" && watcher) {
            for (const auto& r : watcher->finish(args.value("png"))) {
                emitDemoRecord("picture", {{"card", r.card.card},
                                           {"url", r.card.url},
                                           {"unique", std::to_string(r.unique)},
                                           {"p50", fmt::format("{:.1f}", r.latency.p50Ms)},
                                           {"p99", fmt::format("{:.1f}", r.latency.p99Ms)},
                                           {"png", r.png ? args.value("png") : ""},
                                           {"pngframe", std::to_string(r.pngFrame)},
                                           {"pnglatency", fmt::format("{:.1f}", r.pngLatencyMs)}});
            }
            watcher.reset();
            emitDemoRecord("watched", {{"machine", name}});
        } else if (line == "report") {
            if (nodeRuntime) {
                nodeRuntime->drain();
            }
            report(name, "servers", mgr->getAllVideoEchoAddr(), mgr->getAllEchoSpliceStrategies());
            report(name, "received", mgr->receivedAddrs(), mgr->receivedStrategies());
            if (link) {
                link->report(name);
            }
            emitDemoRecord("result", {{"machine", name}});
        }
    }
    watcher.reset();
    link.reset();
    for (auto& c : forwarding) {
        c.disconnect();
    }
    if (role == "main") {
        proxyServer.unsetRPCServer();
        proxyServer.unsetVideoEchoMgr();
    } else {
        proxyClient.unsetRPCClient();
        proxyClient.unsetVideoEchoMgr();
    }
    return 0;
}

}  // namespace

Command demoMachineCommand() {
    CommandInfo info;
    info.name = "__demo-machine";
    info.summary = "(internal) one machine of the multi-machine demo";
    info.options = {
        {"role", "main|node", "which side of the runtime"},
        {"name", "NAME", "the machine's node id"},
        {"bind", "ADDRESS", "the address the main machine listens on (main; 127.0.0.1)"},
        {"max-connections", "N", "connections the main machine serves at once (1024, 0 = no cap)"},
        {"host", "ADDRESS", "the main machine's address (nodes)"},
        {"port", "PORT", "the main machine's port (nodes)"},
        {"media-id", "ID", "the media this machine plays on its card"},
        {"advertise", "ADDRESS", "the address this machine puts into its echo URLs"},
        {"png", "FILE", "where the main machine writes a picture it received"},
        verboseOption()};
    const auto linkOptions = demoLinkOptions();
    info.options.insert(info.options.end(), linkOptions.begin(), linkOptions.end());
    return {info, runMachine, true};
}

}  // namespace videoecho
