// videoecho clean: lists the frame channels whose writers died and left them in /dev/shm, and
// with --remove removes those this user may remove. Nothing else in /dev/shm is touched, and with
// --prefix only the channels of one installation (whose names start with it) are looked at.
#include <algorithm>
#include <cstdio>

#include <fmt/format.h>
#include <tarnmediadispatchvideoecho/channelcleanup.h>

#include "commands.h"

namespace videoecho {

namespace {

int runClean(const ParsedArgs& args, const char*) {
    const bool remove = args.has("remove");
    const std::string prefix = args.value("prefix");
    auto abandoned = tarn::mediadispatch::findAbandonedChannels();
    abandoned.erase(std::remove_if(abandoned.begin(), abandoned.end(),
                                   [&](const auto& channel) {
                                       return channel.name.compare(0, prefix.size(), prefix) != 0;
                                   }),
                    abandoned.end());
    int left = 0;
    for (const auto& channel : abandoned) {
        std::string what = fmt::format("{}  (writer pid {} gone, owner uid {}{})",
                                       printableKey(channel.name), channel.writerPid,
                                       channel.ownerUid, channel.hasSegment ? "" : ", guard only");
        if (remove && channel.removable &&
            tarn::mediadispatch::reclaimAbandonedChannel(channel.name)) {
            std::printf("removed %s\n", what.c_str());
            continue;
        }
        ++left;
        std::printf("%s%s\n", what.c_str(),
                    remove ? (channel.removable ? "  not removed (in use again?)"
                                                : "  not removed: owned by another user")
                           : "");
    }
    if (abandoned.empty()) {
        std::printf("no abandoned channels\n");
    } else if (!remove) {
        std::printf("%d abandoned channel(s); 'videoecho clean --remove' removes them\n", left);
    }
    return remove && left > 0 ? 1 : 0;
}

}  // namespace

Command cleanCommand() {
    CommandInfo info;
    info.name = "clean";
    info.summary = "list (and remove) channels that killed writers left in /dev/shm";
    info.positionals = {};
    info.options = {{"remove", "", "remove them (those owned by this user, or all as root)"},
                    {"prefix", "TEXT", "only channels whose names start with TEXT"},
                    verboseOption()};
    info.details =
        "A channel counts as abandoned only when its guard (NAME.guard) carries the channel's\n"
        "mark and no writer holds its lock. Running writers also reclaim a few such channels\n"
        "each time they acquire one. Exits 1 when --remove left some behind.";
    return {info, runClean, false};
}

}  // namespace videoecho
