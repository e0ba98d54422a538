// Internal faults: violated preconditions inside the library or the module.
//
// A fault is unrecoverable for the operation that meets it. `fault` writes a
// report (message and source location) to standard error and throws `Fault`;
// the module's fault barrier turns it into a Python exception. No code but that
// barrier (and the worker loop of the thread pool, which must keep its thread
// alive) catches a `Fault`.
#pragma once

#include <exception>
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

// Reports `message` with the caller's location on standard error, then throws
// `Fault(message)`.
[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());

}  // namespace strassen
