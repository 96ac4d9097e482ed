#pragma once

#include "morvane/core/Exception.hpp"

#include <string>

// The message of the RuntimeException that `f` throws, or "<no exception>".
template <typename F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const Morvane::RuntimeException& e) {
        return e.what();
    }
    return "<no exception>";
}
