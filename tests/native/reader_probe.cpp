// Command-line probe of the reader internals that Python cannot reach directly
// (symmetry-operation parser, CIF tokenizer, CIF numbers, labels, data blocks).
// Usage: reader_probe MODE < text; prints "OK ..." or "ERR message".
#include <charconv>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "core/cif.hpp"
#include "core/symmetry.hpp"

namespace {

std::string shortest(double x) {
    char buffer[64];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
    return std::string(buffer, end);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kelvara;
    if (argc != 2) return 2;
    const std::string mode = argv[1];
    const std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (mode == "symmop") {
        auto op = parse_symmop(text);
        if (!op) {
            std::cout << "ERR " << op.error();
            return 0;
        }
        std::cout << "OK";
        for (const auto& row : op->rotation)
            for (double x : row) std::cout << ' ' << shortest(x);
        for (double x : op->translation) std::cout << ' ' << shortest(x);
    } else if (mode == "number") {
        auto value = parse_number(text);
        if (value) std::cout << "OK " << shortest(*value);
        else std::cout << "ERR " << value.error();
    } else if (mode == "cifnum") {
        auto value = parse_cif_number(text);
        if (value) std::cout << "OK " << shortest(*value);
        else std::cout << "NONE";
    } else if (mode == "label") {
        auto symbol = element_from_label(text);
        if (symbol) std::cout << "OK " << *symbol;
        else std::cout << "NONE";
    } else if (mode == "tokenize") {
        std::cout << "OK";
        for (const auto& token : tokenize(text)) std::cout << '\x1f' << token;
    } else if (mode == "block") {
        Block block = read_block(text);
        for (const auto& [name, value] : block.tags) std::cout << "TAG\x1f" << name << '\x1f' << value << '\n';
        for (const auto& loop : block.loops) {
            std::cout << "LOOP";
            for (const auto& name : loop.names) std::cout << '\x1f' << name;
            std::cout << '\n';
            for (const auto& row : loop.rows) {
                std::cout << "ROW";
                for (const auto& value : row) std::cout << '\x1f' << value;
                std::cout << '\n';
            }
        }
    } else {
        return 2;
    }
    return 0;
}
