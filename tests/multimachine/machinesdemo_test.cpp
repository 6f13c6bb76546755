// `videoecho demo --machines` as a user runs it: as root, the main machine and two nodes each run
// in a network namespace of their own; the main machine learns the nodes' echo URLs through the
// proxies and plays each node's card over the virtual link through a stream echo, reading the
// frame number and send time back from every picture.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "childprocess.h"

namespace {

TEST(MachinesDemo, EveryNodesPictureCrossesTheVirtualLinkToTheMainMachine) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the machines get network namespaces of their own only as root";
    }
    const std::string png = "/tmp/machinesdemo-" + std::to_string(getpid());
    const auto r = testsupport::runProgram(
        VIDEOECHO_PROGRAM,
        {"demo", "--seconds", "0.5", "--machines", "--machine-seconds", "2", "--png",
         png + "-echo.png", "--machine-png", png + "-machines.png"},
        std::chrono::seconds(150));
    std::string signature(4, '\0');
    std::ifstream(png + "-machines.png", std::ios::binary).read(signature.data(), 4);
    std::remove((png + "-echo.png").c_str());
    std::remove((png + "-machines.png").c_str());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("machines agree: every machine holds the same 3 echo addresses"),
              std::string::npos);

    // card, the host in its URL, frames sent, unique frames received (read from their stamps).
    const std::regex row(
        R"((node-[12]-card-1) +rtsp://([0-9.]+):[1-9][0-9]*/echo/node-[12]/\1 +([0-9]+) +([0-9]+) )");
    std::set<std::string> cards;
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), row), end; it != end; ++it) {
        const auto& m = *it;
        cards.insert(m[1]);
        // Learned through the proxies: each node's own address on the link, not loopback.
        EXPECT_EQ(m[2].str().rfind("198.18.", 0), 0U) << m[0];
        EXPECT_GE(std::stoi(m[3]), 50) << m[0];
        EXPECT_GT(std::stoi(m[4]), 0) << m[0];
        EXPECT_LE(std::stoi(m[4]), std::stoi(m[3])) << m[0];
    }
    EXPECT_EQ(cards, (std::set<std::string>{"node-1-card-1", "node-2-card-1"})) << r.out;
    // The picture the main machine received, with the stamp it carried.
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(R"(picture +\S+-machines\.png \(node-[12]-card-1, frame [0-9]+, )")))
        << r.out;
    EXPECT_EQ(signature.substr(1), "PNG");
}

}  // namespace
