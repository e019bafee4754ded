// Private to platform/: how the layer records the reason of a failure.
#pragma once

namespace PLT::detail {

// Stores `error` as this thread's LastError().
void SetLastError(int error);
// The one place where errno becomes an error value: copies the current errno
// into LastError() and returns it.
int CaptureErrno();

}  // namespace PLT::detail
