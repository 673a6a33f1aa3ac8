#pragma once

#include "Error.h"

namespace pq {

// A local file could not be created, read, written or closed.
class FileError : public Error {
public:
    using Error::Error;
};

} // namespace pq
