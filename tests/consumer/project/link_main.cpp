// Builds a link manager from the installed `link` component and checks that it refuses options that
// cannot work and takes ones that can; no broker is needed for either.
#include <cstdio>
#include <stdexcept>

#include <host/link/mqttlinkmgr.h>

int main() {
    host::link::MqttLinkOptions options;
    try {
        host::link::MqttLinkMgr refused(options);  // no node id
        std::puts("consumer_link: options without a node id were taken");
        return 1;
    } catch (const std::invalid_argument&) {
    }
    options.nodeId = "consumer";
    options.brokerPort = 1;  // nothing listens there: the manager keeps retrying in the background
    host::link::MqttLinkMgr link(options);
    std::puts("consumer_link: the link component links and runs");
    return 0;
}
