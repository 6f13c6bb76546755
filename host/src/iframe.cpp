#include <host/iframe.h>

namespace qv::mediacore {

IFrame::IFrame() : record_(std::make_shared<STAVFrame>()) {}

IFrame::~IFrame() = default;

}  // namespace qv::mediacore
