#include <host/idispatch.h>

namespace tarn::mediadispatch {

IDispatch::IDispatch() = default;

IDispatch::~IDispatch() = default;

}  // namespace tarn::mediadispatch
