// Where a body writes its result. The body asks for the storage once every
// check that can refuse the call has passed and the size is known, and fills
// it in place: the caller decides what the storage is (the module surface
// hands out the inside of a new bytes object, so no result is copied).
#pragma once

#include "core/bytes.hpp"

namespace orvane {

class Output {
public:
    // `size` bytes of writable storage, or an exception (std::bad_alloc, or
    // the caller's own) if it cannot be had. Called at most once per body.
    virtual MutableBytes allocate(std::size_t size) = 0;

protected:
    Output() = default;
    Output(const Output&) = default;
    Output& operator=(const Output&) = default;
    ~Output() = default;
};

}  // namespace orvane
