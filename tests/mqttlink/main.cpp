// The link test binary: "--link-peer ..." runs one machine of the link (linkpeer.cpp) instead of
// the tests.
#include <cstring>

#include <gtest/gtest.h>

#include "linkpeer.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--link-peer") == 0) {
        return mqttlinktest::runPeer(argc - 2, argv + 2);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
