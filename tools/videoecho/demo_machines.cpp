#include "demo_machines.h"

#include <poll.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include <fmt/format.h>

#include "childprocess.h"
#include "cli.h"
#include "demo_link.h"
#include "demonetwork.h"
#include "demoprotocol.h"
#include "monoclock.h"

namespace videoecho {

namespace {

struct Machine {
    std::string name;
    std::unique_ptr<ChildProcess> process;
    std::vector<DemoRecord> records;
};

// Reads the machines' output until `want` records of `kind` (one per machine named) arrived.
void collect(std::vector<Machine*> machines, const std::string& kind, int timeoutMs) {
    const int64_t deadline = monotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    std::set<std::string> waiting;
    for (auto* m : machines) {
        waiting.insert(m->name);
    }
    while (!waiting.empty()) {
        if (monotonicNs() > deadline) {
            throw RunError(
                fmt::format("machine {} did not answer '{}' in time", *waiting.begin(), kind));
        }
        std::vector<pollfd> fds;
        for (auto* m : machines) {
            fds.push_back({m->process->stdoutFd(), POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 100) <= 0) {
            continue;
        }
        for (size_t i = 0; i < machines.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            std::vector<std::string> lines;
            const bool open = machines[i]->process->readLines(lines);
            for (const auto& line : lines) {
                DemoRecord r;
                if (parseDemoRecord(line, r)) {
                    machines[i]->records.push_back(r);
                    if (r.kind == kind) {
                        waiting.erase(machines[i]->name);
                    }
                }
            }
            if (!open && waiting.count(machines[i]->name) != 0) {
                throw RunError(fmt::format("machine {} ended early (exit code {})",
                                           machines[i]->name, machines[i]->process->wait(2000)));
            }
        }
    }
}

const DemoRecord* find(const Machine& m, const std::string& kind) {
    for (const auto& r : m.records) {
        if (r.kind == kind) {
            return &r;
        }
    }
    return nullptr;
}

// What a machine holds: card -> url and card -> regions, from its own servers and what it
// received.
struct Holdings {
    std::map<std::string, std::string> urls;
    std::map<std::string, std::string> regions;
};

Holdings holdingsOf(const Machine& m) {
    Holdings h;
    for (const auto& r : m.records) {
        if (r.kind != "echo") {
            continue;
        }
        if (r.text("kind") == "addr") {
            h.urls[r.text("card")] = r.text("url");
        } else if (r.text("kind") == "strategy") {
            h.regions[r.text("card")] = r.text("regions");
        }
    }
    return h;
}

// Has the main machine play the nodes' cards while the nodes send their pattern for `seconds`;
// prints what arrived per card. False when a card's picture did not arrive.
bool showPictures(Machine& main, const std::vector<Machine*>& nodes, double seconds) {
    main.process->sendLine("watch");
    collect({&main}, "watching", 30000);
    const DemoRecord* watching = find(main, "watching");
    std::printf(
        "\nthe main machine plays %s node cards; %s showed a picture before the nodes sent\n",
        watching->text("cards").c_str(), watching->text("showing").c_str());
    std::fflush(stdout);
    for (Machine* node : nodes) {
        node->process->sendLine(fmt::format("send {}", seconds));
    }
    collect(nodes, "sent", static_cast<int>(seconds * 1000) + 20000);
    // The last frames are still on their way.
    usleep(500000);
    main.process->sendLine("unwatch");
    collect({&main}, "watched", 15000);

    std::map<std::string, double> sent;
    for (Machine* node : nodes) {
        const DemoRecord* r = find(*node, "sent");
        sent[r->text("card")] = r->number("frames");
    }
    std::printf(
        "\npictures on the main machine (each node's card played through an EchoMedia with a "
        "stream echo;\nlatency = getFrame time minus the send time in the picture's stamp):\n");
    std::printf("%-15s %-52s %6s %7s %8s %8s\n", "card", "url", "sent", "unique", "p50 ms",
                "p99 ms");
    bool ok = true;
    std::set<std::string> arrived;
    std::string png;
    for (const auto& r : main.records) {
        if (r.kind != "picture") {
            continue;
        }
        const std::string card = r.text("card");
        std::printf("%-15s %-52s %6.0f %7.0f %8s %8s\n", card.c_str(), r.text("url").c_str(),
                    sent[card], r.number("unique"), r.text("p50").c_str(), r.text("p99").c_str());
        if (r.number("unique") > 0) {
            arrived.insert(card);
        }
        if (!r.text("png").empty()) {
            png = fmt::format("{} ({}, frame {}, received {} ms after it was sent)", r.text("png"),
                              card, r.text("pngframe"), r.text("pnglatency"));
        }
    }
    for (const auto& [card, frames] : sent) {
        if (arrived.count(card) == 0) {
            ok = false;
            std::printf("%s: NO PICTURE arrived on the main machine\n", card.c_str());
        }
    }
    std::printf("%-15s %s\n", "picture", png.empty() ? "none" : png.c_str());
    return ok;
}

}  // namespace

bool runMachinesDemo(const std::string& self, bool verbose, const std::string& existingBroker,
                     double pictureSeconds, const std::string& png) {
    // A broker named with --broker is on this machine's loopback, which no namespace reaches: the
    // machines then run on loopback too.
    std::string whyNot = "--broker names a broker on this machine's loopback";
    std::unique_ptr<DemoNetwork> network;
    if (existingBroker.empty()) {
        network = DemoNetwork::create({"main", "node-1", "node-2"}, whyNot);
    }
    if (network) {
        std::printf(
            "\nmulti-machine: a main machine and two nodes, each in a network namespace of its "
            "own on a virtual link (%s, %s, %s), each echoing one display card\n",
            network->address(0).c_str(), network->address(1).c_str(), network->address(2).c_str());
    } else {
        std::printf(
            "\nmulti-machine: a main machine and two nodes on 127.0.0.1 (no network namespaces: "
            "%s), each echoing one display card\n",
            whyNot.c_str());
    }
    // The demo's own broker listens on this machine's leg of the virtual link.
    const DemoBroker broker(existingBroker, network ? network->hostAddress() : "127.0.0.1");
    std::printf("link: MQTT through %s\n", broker.description().c_str());
    std::fflush(stdout);
    const std::string mainHost = network ? network->address(0) : "127.0.0.1";
    const auto start = [&](Machine& m, size_t index, std::vector<std::string> argv) {
        argv.insert(argv.begin(), {self, "__demo-machine"});
        if (network) {
            const auto prefix = network->execPrefix(index);
            argv.insert(argv.begin(), prefix.begin(), prefix.end());
        }
        const auto linkArgs = broker.machineArguments();
        argv.insert(argv.end(), linkArgs.begin(), linkArgs.end());
        if (verbose) {
            argv.push_back("--verbose");
        }
        m.process = std::make_unique<ChildProcess>(argv);
    };
    Machine main{"main", nullptr, {}};
    Machine node1{"node-1", nullptr, {}};
    Machine node2{"node-2", nullptr, {}};
    const uint64_t baseMedia = 8000000 + static_cast<uint64_t>(getpid()) * 10;
    start(main, 0,
          {"--role", "main", "--name", "main", "--bind", mainHost, "--advertise", mainHost, "--png",
           png, "--media-id", std::to_string(baseMedia)});
    collect({&main}, "ready", 10000);
    const std::string port = find(main, "ready")->text("port");
    start(
        node1, 1,
        {"--role", "node", "--name", "node-1", "--host", mainHost, "--port", port, "--advertise",
         network ? network->address(1) : "127.0.0.1", "--media-id", std::to_string(baseMedia + 1)});
    start(
        node2, 2,
        {"--role", "node", "--name", "node-2", "--host", mainHost, "--port", port, "--advertise",
         network ? network->address(2) : "127.0.0.1", "--media-id", std::to_string(baseMedia + 2)});
    collect({&node1, &node2}, "ready", 10000);
    // The nodes' handler registrations travel to the main machine before it publishes.
    usleep(300000);
    main.process->sendLine("go");
    collect({&main}, "done", 10000);
    for (Machine* node : {&node1, &node2}) {
        node->process->sendLine("go");
        collect({node}, "done", 10000);
        usleep(200000);
    }
    // Let the republications reach every node.
    usleep(500000);
    const bool picturesArrived = showPictures(main, {&node1, &node2}, pictureSeconds);
    for (Machine* m : {&main, &node1, &node2}) {
        m->process->sendLine("report");
    }
    collect({&main, &node1, &node2}, "result", 10000);
    const bool linkShown = showLinkActivity({{main.name, main.process.get(), &main.records},
                                             {node1.name, node1.process.get(), &node1.records},
                                             {node2.name, node2.process.get(), &node2.records}},
                                            node2.name);
    for (Machine* m : {&main, &node1, &node2}) {
        m->process->closeStdin();
    }
    for (Machine* m : {&main, &node1, &node2}) {
        const int code = m->process->wait(10000);
        if (code != 0) {
            throw RunError(fmt::format("machine {} failed (exit code {})", m->name, code));
        }
    }

    std::printf("main machine listening on %s:%s\n\n", mainHost.c_str(), port.c_str());
    std::printf("%-8s %-9s %-15s %-34s %s\n", "machine", "holds", "card", "echo address",
                "splice strategy (media@WxH+X+Y)");
    for (Machine* m : {&main, &node1, &node2}) {
        for (const char* source : {"servers", "received"}) {
            std::map<std::string, std::pair<std::string, std::string>> rows;
            for (const auto& r : m->records) {
                if (r.kind != "echo" || r.text("source") != source) {
                    continue;
                }
                auto& row = rows[r.text("card")];
                if (r.text("kind") == "addr") {
                    row.first = r.text("url");
                } else {
                    row.second = r.text("regions");
                }
            }
            for (const auto& [card, row] : rows) {
                std::printf("%-8s %-9s %-15s %-34s %s\n", m->name.c_str(), source, card.c_str(),
                            row.first.empty() ? "-" : row.first.c_str(),
                            row.second.empty() ? "-" : row.second.c_str());
            }
        }
    }
    const Holdings reference = holdingsOf(main);
    bool agree = reference.urls.size() == 3 && reference.regions.size() == 3;
    for (Machine* m : {&node1, &node2}) {
        const Holdings h = holdingsOf(*m);
        if (h.urls != reference.urls || h.regions != reference.regions) {
            agree = false;
            std::printf("%s differs from the main machine\n", m->name.c_str());
        }
    }
    std::printf("\n%s\n", agree ? "machines agree: every machine holds the same 3 echo addresses "
                                  "and 3 splice strategies"
                                : "machines DISAGREE on echo addresses or splice strategies");
    return agree && linkShown && picturesArrived;
}

}  // namespace videoecho
