// Runs body(0), ..., body(parts - 1) at once: part 0 on the calling thread,
// the others on threads of their own. Every part's exception is captured and
// the first (by part) rethrown on the caller once all parts have ended, so no
// thread outlives the call and no failure is lost.
#pragma once

#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace bravolin::detail {

template <class Body>
void run_parts(std::size_t parts, Body&& body) {
    std::vector<std::exception_ptr> errors(parts);
    const auto guarded = [&](std::size_t part) {
        try {
            body(part);
        } catch (...) {
            errors[part] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    try {
        for (std::size_t part = 1; part < parts; ++part) workers.emplace_back(guarded, part);
    } catch (...) {
        // A thread that could not start: the started ones finish first.
        for (auto& w : workers) w.join();
        throw;
    }
    if (parts > 0) guarded(0);
    for (auto& w : workers) w.join();
    for (const auto& e : errors) {
        if (e) std::rethrow_exception(e);
    }
}

}  // namespace bravolin::detail
