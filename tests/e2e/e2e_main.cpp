#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "viewerprocess.h"

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], echotest::kViewerSwitch) == 0) {
        return echotest::runViewer(std::strtoull(argv[2], nullptr, 10),
                                   static_cast<int>(std::strtol(argv[3], nullptr, 10)));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
