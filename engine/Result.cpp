#include "engine/Result.h"

#include <cstring>

std::string Fault::why() const {
    return error != 0 ? std::string(std::strerror(error)) : reason;
}

std::string Fault::description() const {
    return path.empty() ? why() : path + ": " + why();
}

Fault Fault::named(const std::string& file) const& {
    Fault fault = *this;
    if (fault.path.empty()) {
        fault.path = file;
    }
    return fault;
}
