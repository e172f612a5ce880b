// The text of the KelvoError or FatalError a call throws, for tables of refusals.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "errors.h"

namespace kelvo::testing {

// The message of the KelvoError `call` throws, checked to be of kind `kind`; "no error" when
// it returns.
template <class F>
std::string error_text(F&& call, KelvoErrorKind kind = KelvoErrorKind::InvalidInput) {
    try {
        call();
    } catch (const KelvoError& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        return e.what();
    }
    return "no error";
}

// `call` throws an InvalidInput KelvoError with exactly `message`.
template <class F>
void expect_refused(F&& call, const std::string& message) {
    EXPECT_EQ(error_text(call), message);
}

// The message of the FatalError `call` throws; "no error" when it returns.
template <class F>
std::string fatal_text(F&& call) {
    try {
        call();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace kelvo::testing
