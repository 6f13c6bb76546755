#include <tarnmediadispatchvideoecho/ivideoechodisptachmultimachineproxy.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyclient.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>

namespace tarn::mediadispatch {

IVideoEchoDisptachMultimachineProxy::~IVideoEchoDisptachMultimachineProxy() = default;
IVideoEchoDisptachMultimachineProxyServer::~IVideoEchoDisptachMultimachineProxyServer() = default;
IVideoEchoDisptachMultimachineProxyClient::~IVideoEchoDisptachMultimachineProxyClient() = default;

}  // namespace tarn::mediadispatch
