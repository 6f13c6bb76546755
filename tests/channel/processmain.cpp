// The cross-process test binary: "--channel-helper ROLE ..." runs a helper role (see
// channelhelper.cpp) instead of the tests.
#include <cstring>

#include <gmock/gmock.h>

#include "helperprocess.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--channel-helper") == 0) {
        return channeltest::runHelper(argc - 2, argv + 2);
    }
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
