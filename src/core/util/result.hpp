// Result<T>: a value or the exact message text the user will see.
#pragma once

#include <expected>  // for std::expected, std::unexpected
#include <string>

namespace kelvara {

template <class T>
using Result = std::expected<T, std::string>;

/// Shorthand for returning a failure: `return fail("cutoff must be positive");`
inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

}  // namespace kelvara
