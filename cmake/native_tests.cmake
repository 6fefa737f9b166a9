# The C++ core as a static library and its native tests, without Python: for checking
# the core on targets that only a cross compiler and an emulator reach here
# (tools/cross_test.sh). ctest runs each test, through CMAKE_CROSSCOMPILING_EMULATOR
# when one is set.

add_library(kelvara_core STATIC ${KELVARA_CORE_SOURCES})
target_include_directories(kelvara_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_options(kelvara_core PUBLIC ${KELVARA_CXX_OPTIONS})
target_link_libraries(kelvara_core PUBLIC Threads::Threads)
if(MINGW)
    # One self-contained program per test: no MinGW runtime DLLs to find under wine.
    target_link_options(kelvara_core PUBLIC -static)
endif()

enable_testing()
foreach(probe kernel_probe platform_probe)
    add_executable(${probe} tests/native/${probe}.cpp)
    target_link_libraries(${probe} PRIVATE kelvara_core)
    add_test(NAME ${probe} COMMAND ${probe})
endforeach()
