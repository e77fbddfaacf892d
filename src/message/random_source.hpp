// The operating system's cryptographically secure random source, used for the
// padding of outgoing messages.
#pragma once

#include "surface/checked.hpp"

namespace orvane {

// Fills `region` completely, or raises OSError with the operating system's
// error (throws PythonErrorSet). A failure never yields predictable bytes.
void fill_random(MutableBytes region);

}  // namespace orvane
