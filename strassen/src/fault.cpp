#include "strassen/fault.hpp"

#include <cstdio>

namespace strassen {

void fault(std::string message, std::source_location where) {
    // One fputs-free fprintf call so that concurrent reports from worker
    // threads do not interleave within a line.
    std::fprintf(stderr, "bravolin_learn: internal fault at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    throw Fault(std::move(message));
}

}  // namespace strassen
