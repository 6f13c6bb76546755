#include <tarnmediadispatchvideoecho/ivideoecholink.h>

namespace tarn::mediadispatch {

IVideoEchoLink::~IVideoEchoLink() = default;

}  // namespace tarn::mediadispatch
