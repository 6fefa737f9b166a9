# The compilers the core builds with, checked before anything compiles, and the flags
# it builds with on each.

set(KELVARA_COMPILERS "GCC 12, Clang 19, Apple Clang 15 (Xcode 15), MSVC 19.33 (Visual Studio 2022 17.3) or newer")
set(_kelvara_floor_GNU 12)
set(_kelvara_floor_Clang 19)
set(_kelvara_floor_AppleClang 15)
set(_kelvara_floor_MSVC 19.33)
set(_kelvara_this "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER})")
if(DEFINED _kelvara_floor_${CMAKE_CXX_COMPILER_ID}
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS _kelvara_floor_${CMAKE_CXX_COMPILER_ID})
    message(FATAL_ERROR "kelvara needs a C++23 compiler: ${KELVARA_COMPILERS}. "
        "This is ${_kelvara_this}; choose another, for example CXX=clang++-19 or CXX=g++-12.")
endif()

# What the core uses from the standard library, tried on this compiler: Clang before
# 19 hides libstdc++'s std::expected, and macOS's libc++ has floating-point
# std::to_chars only for deployment targets from 13.3. (Floating-point std::from_chars,
# missing from libc++ before 20, has a stand-in: util/decimal_chars.cpp.) The test
# compiles with CMAKE_CXX_STANDARD, as the core does.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles([[
#include <charconv>
#include <expected>
#include <string>
int main() {
    std::expected<double, std::string> value = 0.5;
    char text[32];
    std::to_chars(text, text + 32, *value);
    return value.has_value() ? 0 : 1;
}]] KELVARA_HAS_CXX23_LIBRARY)
if(NOT KELVARA_HAS_CXX23_LIBRARY)
    message(FATAL_ERROR "kelvara needs std::expected and floating-point std::to_chars, which "
        "${_kelvara_this} with its standard library lacks (on macOS, set "
        "MACOSX_DEPLOYMENT_TARGET to 13.3 or later). Compilers that have them: ${KELVARA_COMPILERS}.")
endif()

# No fused multiply-add and no fast-math: a fused a*b+c changes the last bit of a
# distance, and a pair on a bin edge then lands in the other bin. GCC fuses by default
# where the target has FMA, Clang within an expression: both are told not to. MSVC's
# /fp:precise does not contract (Visual Studio 2022 contracts only under /fp:contract).
if(MSVC)
    set(KELVARA_CXX_OPTIONS /O2 /fp:precise /W4 /utf-8 /permissive- /Zc:__cplusplus)
else()
    set(KELVARA_CXX_OPTIONS -O2 -ffp-contract=off -fno-fast-math -Wall -Wextra)
    # libstdc++ before 13 calls its own deprecated std::get_temporary_buffer from
    # std::stable_sort, which Clang reports in C++23 mode.
    check_cxx_source_compiles([[
#include <version>
#if defined(__clang__) && defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE < 13
#error old libstdc++ under Clang
#endif
int main() { return 0; }]] KELVARA_STDLIB_WITHOUT_OWN_DEPRECATIONS)
    if(NOT KELVARA_STDLIB_WITHOUT_OWN_DEPRECATIONS)
        list(APPEND KELVARA_CXX_OPTIONS -Wno-deprecated-declarations)
    endif()
endif()
