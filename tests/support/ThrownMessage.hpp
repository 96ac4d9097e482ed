#pragma once

// The message of an exception a test provokes: one helper for every kind of exception.

#include "morvane/core/Exception.hpp"

#include <string>

// The what() of the `Exception` that `f` throws (a RuntimeException unless named), or "<no exception>".
template <typename Exception = Morvane::RuntimeException, typename F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "<no exception>";
}
