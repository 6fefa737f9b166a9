// Symmetry operations of a CIF block: the listed operations, else those of the named group.
#include "core/readers/cif_symmetry.hpp"

#include <initializer_list>
#include <optional>
#include <string>

#include "core/readers/spacegroup.hpp"  // for operations_from_names, is_rhombohedral_cell
#include "core/util/text.hpp"           // for trim

namespace kelvara {

namespace {

/// The value of the first of `names` that the block holds, or an empty text.
std::string_view space_group_tag(const Block& block, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (const CifValue* value = block.tag(name)) return value->text;
    return {};
}

/// The group named by the space-group tags; absent when no tag holds a value.
std::optional<NamedGroup> named_group(const Block& block, const Lattice& lattice) {
    SpaceGroupNames names;
    names.hall = space_group_tag(block, {"_space_group_name_hall", "_symmetry_space_group_name_hall",
                                   "_space_group.name_hall", "_symmetry.space_group_name_hall"});
    names.hm = space_group_tag(block, {"_space_group_name_h-m_alt", "_symmetry_space_group_name_h-m",
                                 "_space_group.name_h-m_alt", "_symmetry.space_group_name_h-m",
                                 "_space_group_name_h-m_full", "_space_group.name_h-m_full"});
    names.number = space_group_tag(block, {"_space_group_it_number", "_symmetry_int_tables_number",
                                     "_space_group.it_number", "_symmetry.int_tables_number"});
    names.rhombohedral_cell = is_rhombohedral_cell(lattice.matrix);
    return operations_from_names(names);
}

/// The operations of the named group, its warnings added to `warnings`.
std::vector<SymmOp> take_named(NamedGroup&& named, Warnings& warnings) {
    for (std::string& warning : named.warnings) warnings.push_back(std::move(warning));
    return std::move(named.operations);
}

constexpr std::string_view kOperationTags[3] = {"_symmetry_equiv_pos_as_xyz",
                                                "_space_group_symop_operation_xyz",
                                                "_space_group_symop.operation_xyz"};

}  // namespace

bool is_operation_tag(std::string_view name) {
    return name == kOperationTags[0] || name == kOperationTags[1] || name == kOperationTags[2];
}

std::vector<SymmOp> cif_operations(const Block& block, const Lattice& lattice, Warnings& warnings) {
    std::vector<SymmOp> ops;
    const CifLoop* loop = block.loop_with({kOperationTags[0], kOperationTags[1], kOperationTags[2]});
    std::vector<std::string> unreadable;
    std::size_t listed = 0;
    if (loop) {
        std::size_t column = 0;
        for (std::size_t i = 0; i < loop->names.size(); ++i)
            if (loop->names[i] == kOperationTags[0] || loop->names[i] == kOperationTags[1] ||
                loop->names[i] == kOperationTags[2]) {
                column = i;
                break;
            }
        for (std::size_t r = 0; r < loop->n_rows(); ++r) {
            const std::string_view value = trim(loop->row(r)[column]);
            if (value.empty()) continue;
            ++listed;
            auto op = parse_symmop(value);
            if (!op) {
                // "1 x,y,z": an id written before the operation.
                const std::size_t space = value.find(' ');
                if (space != std::string_view::npos) op = parse_symmop(value.substr(space + 1));
            }
            if (op)
                ops.push_back(*op);
            else
                unreadable.push_back(shown_value(value, loop->row_lines[r]));
        }
    }
    // A listed operation always wins over the names.
    if (listed == 0) {
        auto named = named_group(block, lattice);
        return named ? take_named(std::move(*named), warnings) : std::vector{SymmOp::identity()};
    }
    if (ops.empty()) {
        // Nothing listed can be read: the group's name, when it has one that is known.
        const std::string none = "none of the " + std::to_string(listed) +
                                 " symmetry operations can be read, so ";
        if (auto named = named_group(block, lattice); named && named->recognised) {
            warnings.push_back(none + "the operations of the named space group are used");
            return take_named(std::move(*named), warnings);
        }
        warnings.push_back(none + "the file is read as P 1");
        ops.push_back(SymmOp::identity());
    } else {
        for (const std::string& op : unreadable)
            warnings.push_back("symmetry operation " + op + " cannot be read and is ignored");
    }
    return ops;
}

}  // namespace kelvara
