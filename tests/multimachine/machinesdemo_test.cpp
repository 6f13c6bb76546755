// `videoecho demo --machines` as a user runs it: as root, the main machine and two nodes each run
// in a network namespace of their own; the main machine learns the nodes' echo URLs through the
// proxies and plays each node's card over the virtual link through a stream echo, reading the
// frame number and send time back from every picture.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "childprocess.h"

namespace {

// A directory of the test's own for the pictures, removed with what the demo wrote into it.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char name[] = "/tmp/machinesdemo-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "";
    }
    ~ScratchDir() {
        for (const char* file : {"/echo.png", "/machines.png"}) {
            unlink((path + file).c_str());
        }
        rmdir(path.c_str());
    }
};

unsigned bigEndian32(const std::string& bytes, size_t at) {
    unsigned value = 0;
    for (size_t i = at; i < at + 4 && i < bytes.size(); ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

TEST(MachinesDemo, EveryNodesPictureCrossesTheVirtualLinkToTheMainMachine) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the machines get network namespaces of their own only as root";
    }
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    const auto r = testsupport::runProgram(
        VIDEOECHO_PROGRAM,
        {"demo", "--seconds", "0.5", "--machines", "--machine-seconds", "2", "--png",
         dir.path + "/echo.png", "--machine-png", dir.path + "/machines.png"},
        std::chrono::seconds(150));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;

    // card, the host in its URL, frames sent, unique frames received (read from their stamps).
    const std::regex row(
        R"((node-[12]-card-1) +rtsp://([0-9.]+):[1-9][0-9]*/echo/node-[12]/\1 +([0-9]+) +([0-9]+) )");
    std::set<std::string> cards;
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), row), end; it != end; ++it) {
        const auto& m = *it;
        cards.insert(m[1]);
        // Learned through the proxies, each node's own address on the link, not loopback.
        EXPECT_EQ(m[2].str().rfind("198.18.", 0), 0U) << m[0];
        const int sent = std::stoi(m[3]);
        const int unique = std::stoi(m[4]);
        EXPECT_GE(sent, 50) << m[0];
        EXPECT_GT(unique, 0) << m[0];
        EXPECT_LE(unique, sent) << m[0];
    }
    EXPECT_EQ(cards, (std::set<std::string>{"node-1-card-1", "node-2-card-1"})) << r.out;

    // The picture the main machine received, with the stamp it carried.
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(R"(picture +\S+/machines\.png \(node-[12]-card-1, frame [0-9]+, )")))
        << r.out;
    std::ifstream file(dir.path + "/machines.png", std::ios::binary);
    const std::string png((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GE(png.size(), 24U);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(bigEndian32(png, 16), 640U);
    EXPECT_EQ(bigEndian32(png, 20), 360U);
}

}  // namespace
