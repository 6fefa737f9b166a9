// Probe of parse_symmop, whose failure messages no Python call shows (a CIF drops
// unreadable operations). Usage: reader_probe < text; prints "OK 12 numbers" or "ERR message".
#include <charconv>  // for std::to_chars
#include <iostream>
#include <iterator>
#include <string>

#include "core/readers/symmetry.hpp"

int main() {
    const std::string text(std::istreambuf_iterator<char>(std::cin), {});
    auto op = kelvara::parse_symmop(text);
    if (!op) {
        std::cout << "ERR " << op.error();
        return 0;
    }
    std::cout << "OK";
    char buffer[64];
    auto print = [&buffer](double x) {
        std::cout << ' ' << std::string(buffer, std::to_chars(buffer, buffer + 64, x).ptr);
    };
    for (const auto& row : op->rotation)
        for (double x : row) print(x);
    for (double x : op->translation) print(x);
}
