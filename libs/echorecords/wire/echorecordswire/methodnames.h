// The method names of the echo records between machines: the runtime's RPC methods, the RPC calls
// of the link server, and (behind the link channel number) the link keys.
#pragma once

namespace tarn::mediadispatch::methods {

constexpr const char* kAddEchoAddr = "AddEchoAddr";
constexpr const char* kUpdateEchoAddrs = "UpdateEchoAddrs";
constexpr const char* kUpdateSpliceStrategy = "UpdateSpliceStrategy";
constexpr const char* kUpdateSpliceStrategies = "UpdateSpliceStrategies";
constexpr const char* kUpdateEchoInfo = "UpdateEchoInfo";
constexpr const char* kRequestEchoInfo = "RequestEchoInfo";

}  // namespace tarn::mediadispatch::methods
