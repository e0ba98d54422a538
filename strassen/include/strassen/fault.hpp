// Internal faults: violated preconditions inside the library or the module.
//
// A fault is unrecoverable for the operation that meets it. `fault` writes a
// report (message and source location) to standard error and throws `Fault`;
// the module's fault barrier turns it into a Python exception. No code but that
// barrier (and the worker loop of the thread pool, which must keep its thread
// alive) catches a `Fault`.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <source_location>
#include <string>

namespace strassen {

class Fault : public std::exception {
public:
    explicit Fault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// A request for more memory than this machine could ever provide, refused up
// front instead of letting the allocator or the kernel's overcommit decide.
// Derives from std::bad_alloc so that it reaches Python as MemoryError.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Bytes of physical memory, or SIZE_MAX when it cannot be read.
std::size_t physical_memory_bytes() noexcept;

// Throws OutOfMemory naming `what` when `count` elements of `element_size`
// bytes overflow or exceed physical memory.
void check_allocation(std::size_t count, std::size_t element_size, const char* what);

// The name that starts every fault report: "strassen" until the library's
// user sets its own, once, before it runs any product. `prefix` must live as
// long as the process (a string literal).
void set_fault_prefix(const char* prefix) noexcept;

// Reports `message` with the caller's location on standard error, after the
// fault prefix, then throws `Fault(message)`.
[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());

}  // namespace strassen
