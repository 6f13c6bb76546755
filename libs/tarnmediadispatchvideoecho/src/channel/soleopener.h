// Whether the calling process is the only one that has a file open or mapped, told by the kernel:
// a write lease is granted only on a file that no other descriptor or mapping refers to.
#pragma once

namespace tarn::mediadispatch::channel {

// `fd` must be a descriptor of a file that the caller owns. The lease lasts a few system calls and
// is given up before returning; while it is held, an opener elsewhere waits that long, and no
// signal reaches anybody (the lease's signal goes to no owner and is one that is ignored here).
// false also when it cannot be told.
bool onlyOpenerOf(int fd);

}  // namespace tarn::mediadispatch::channel
