#pragma once
// The one way the suites check a raised exception: the message of the exception of class E that
// the call raised, or a text that says what happened instead, so a comparison shows it.

#include "platform/exceptions.h"

#include <exception>
#include <string>

inline std::string MessageOf(const Exception& e) {
    return e.Message; // may hold NUL bytes, which what() would cut off
}
inline std::string MessageOf(const std::exception& e) {
    return e.what();
}

template <class E, class F> std::string Raised(F&& call) {
    try {
        call();
    } catch (const E& e) {
        return MessageOf(e);
    } catch (const std::exception& e) {
        return std::string("<another exception: ") + e.what() + ">";
    }
    return "<nothing raised>";
}
