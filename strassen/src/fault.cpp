#include "strassen/fault.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace strassen {

namespace {
// Read by reports on any thread; a pointer to a literal, so nothing to destroy
// at exit while a detached worker may still report.
std::atomic<const char*> report_prefix{"strassen"};
}  // namespace

void set_fault_prefix(const char* prefix) noexcept {
    report_prefix.store(prefix, std::memory_order_release);
}

void fault(std::string message, std::source_location where) {
    // One fputs-free fprintf call so that concurrent reports from worker
    // threads do not interleave within a line.
    std::fprintf(stderr, "%s: internal fault at %s:%u: %s\n",
                 report_prefix.load(std::memory_order_acquire), where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    throw Fault(std::move(message));
}

std::size_t physical_memory_bytes() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return SIZE_MAX;
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
}

void check_allocation(std::size_t count, std::size_t element_size, const char* what) {
    const std::size_t limit = physical_memory_bytes();
    if (element_size != 0 && count > limit / element_size) {
        const long double bytes = static_cast<long double>(count) * element_size;
        throw OutOfMemory(std::string("cannot allocate ") + what + ": " +
                          std::to_string(count) + " elements (" +
                          std::to_string(static_cast<double>(bytes / (1024.0L * 1024 * 1024))) +
                          " GiB) exceed this machine's physical memory");
    }
}

}  // namespace strassen
