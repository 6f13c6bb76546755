#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

namespace tarn::mediadispatch {

IVideoEchoMgr::IVideoEchoMgr() = default;

IVideoEchoMgr::~IVideoEchoMgr() = default;

}  // namespace tarn::mediadispatch
