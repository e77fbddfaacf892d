// The operating system's cryptographically secure random source, used for the
// padding of outgoing messages.
#pragma once

#include "core/bytes.hpp"

namespace orvane {

// Fills `region` completely, or throws OsError with the operating system's
// error. A failure never yields predictable bytes.
void fill_random(MutableBytes region);

}  // namespace orvane
