// Symmetry operations of a CIF block: the listed operations, else those of the named group.
#include "core/readers/cif_symmetry.hpp"

#include <algorithm>  // for std::find
#include <initializer_list>
#include <optional>
#include <string>

#include "core/readers/spacegroup.hpp"  // for operations_from_names, is_rhombohedral_cell
#include "core/util/text.hpp"           // for trim, quoted

namespace kelvara {

namespace {

/// The value of the first of `names` that the block holds, or an empty text. A name
/// tag followed by another tag has no value: it is passed over, and said.
std::string_view space_group_tag(const Block& block, std::initializer_list<const char*> names,
                                 Warnings& warnings) {
    for (const char* name : names) {
        const CifValue* value = block.tag(name);
        if (!value) continue;
        if (!value->missing) return value->text;
        warnings.push_back(std::string(value->name) + " has no value: line " + std::to_string(value->line) +
                           " holds the tag " + shown_value(value->text, value->line) +
                           "; it is passed over");
    }
    return {};
}

/// The group named by the space-group tags; absent when no tag holds a value.
std::optional<NamedGroup> named_group(const Block& block, const Lattice& lattice, Warnings& warnings) {
    SpaceGroupNames names;
    names.hall = space_group_tag(block, {"_space_group_name_hall", "_symmetry_space_group_name_hall"},
                                 warnings);
    names.hm = space_group_tag(block, {"_space_group_name_h-m_alt", "_symmetry_space_group_name_h-m",
                                       "_space_group_name_h-m_full"}, warnings);
    names.number = space_group_tag(block, {"_space_group_it_number", "_symmetry_int_tables_number"},
                                   warnings);
    names.rhombohedral_cell = is_rhombohedral_cell(lattice.matrix);
    return operations_from_names(names);
}

/// The operations of the named group, its warnings added to `warnings`.
std::vector<SymmOp> take_named(NamedGroup&& named, Warnings& warnings) {
    for (std::string& warning : named.warnings) warnings.push_back(std::move(warning));
    return std::move(named.operations);
}

// Dotted names ("_space_group_symop.operation_xyz", "_space_group_symop_magn_operation.xyz")
// reach here in the underscore form they alias.
constexpr std::string_view kOperationTags[2] = {"_symmetry_equiv_pos_as_xyz",
                                                "_space_group_symop_operation_xyz"};
/// Magnetic files: operations with a time-reversal flag ("x,y,z,+1"), and centerings.
constexpr std::string_view kMagneticOperationTag = "_space_group_symop_magn_operation_xyz";
constexpr std::string_view kMagneticCenteringTag = "_space_group_symop_magn_centering_xyz";

/// The operations one column lists, the count of values, and those that cannot be read.
struct Listed {
    std::vector<SymmOp> ops;
    std::size_t count = 0;
    std::vector<std::string> unreadable;
};

/// "x,y,z,+1" without its time-reversal flag, which does not move atoms.
std::string_view without_time_reversal(std::string_view value) {
    const std::size_t comma = value.rfind(',');
    if (comma == std::string_view::npos) return value;
    const std::string_view flag = trim(value.substr(comma + 1));
    return flag == "+1" || flag == "-1" || flag == "1" ? value.substr(0, comma) : value;
}

/// The operations of the first loop with any of `tags`, from the first such column.
Listed listed_operations(const Block& block, std::initializer_list<std::string_view> tags,
                         bool magnetic) {
    Listed out;
    const CifLoop* loop = block.loop_with(tags);
    if (!loop) return out;
    std::size_t column = 0;
    while (std::find(tags.begin(), tags.end(), loop->names[column]) == tags.end()) ++column;
    for (std::size_t r = 0; r < loop->n_rows(); ++r) {
        const std::string_view value = trim(loop->row(r)[column]);
        if (value.empty()) continue;
        ++out.count;
        const std::string_view op_text = magnetic ? without_time_reversal(value) : value;
        auto op = parse_symmop(op_text);
        if (!op) {
            // "1 x,y,z": an id written before the operation.
            const std::size_t space = op_text.find(' ');
            if (space != std::string_view::npos) op = parse_symmop(op_text.substr(space + 1));
        }
        if (op)
            out.ops.push_back(*op);
        else
            out.unreadable.push_back(shown_value(value, loop->row_lines[r]));
    }
    return out;
}

/// Every operation followed by every centering: centering-major, as the tables list them.
std::vector<SymmOp> centred(const std::vector<SymmOp>& ops, const std::vector<SymmOp>& centerings) {
    std::vector<SymmOp> out;
    out.reserve(ops.size() * centerings.size());
    for (const SymmOp& c : centerings)
        for (const SymmOp& o : ops) {
            SymmOp both;
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j)
                    both.rotation[i][j] = (c.rotation[i][0] * o.rotation[0][j] +
                                           c.rotation[i][1] * o.rotation[1][j]) +
                                          c.rotation[i][2] * o.rotation[2][j];
                both.translation[i] = ((c.rotation[i][0] * o.translation[0] +
                                        c.rotation[i][1] * o.translation[1]) +
                                       c.rotation[i][2] * o.translation[2]) +
                                      c.translation[i];
            }
            out.push_back(both);
        }
    return out;
}

/// The operations of a magnetic file: its operations combined with its centerings.
Listed magnetic_operations(const Block& block) {
    Listed ops = listed_operations(block, {kMagneticOperationTag}, true);
    Listed centerings = listed_operations(block, {kMagneticCenteringTag}, true);
    if (ops.count == 0 && centerings.count == 0) return ops;
    if (ops.ops.empty()) ops.ops.push_back(SymmOp::identity());
    if (centerings.ops.empty()) centerings.ops.push_back(SymmOp::identity());
    Listed out;
    out.ops = centred(ops.ops, centerings.ops);
    out.count = ops.count + centerings.count;
    out.unreadable = std::move(ops.unreadable);
    for (std::string& text : centerings.unreadable) out.unreadable.push_back(std::move(text));
    if (out.unreadable.size() == out.count) out.ops.clear();  // nothing could be read
    return out;
}

/// A loop that holds symmetry operations in a form not read here (superspace
/// operations, an id column alone), or null.
const CifLoop* unread_symmetry_loop(const Block& block) {
    for (const CifLoop& loop : block.loops)
        for (const std::string& name : loop.names)
            if (name.starts_with("_space_group_symop") || name.starts_with("_symmetry_equiv"))
                return &loop;
    return nullptr;
}

}  // namespace

bool is_operation_tag(std::string_view name) {
    return name == kOperationTags[0] || name == kOperationTags[1] || name == kMagneticOperationTag ||
           name == kMagneticCenteringTag;
}

std::vector<SymmOp> cif_operations(const Block& block, const Lattice& lattice, Warnings& warnings) {
    Listed listed = listed_operations(block, {kOperationTags[0], kOperationTags[1]}, false);
    if (listed.count == 0) listed = magnetic_operations(block);
    // A listed operation always wins over the names.
    if (listed.count == 0) {
        if (const CifLoop* loop = unread_symmetry_loop(block))
            warnings.push_back("the loop of " + quoted(block.written(loop->names.front())) +
                               " lists symmetry operations in a form that is not read, so they "
                               "are not applied");
        auto named = named_group(block, lattice, warnings);
        return named ? take_named(std::move(*named), warnings) : std::vector{SymmOp::identity()};
    }
    if (listed.ops.empty()) {
        // Nothing listed can be read: the group's name, when it has one that is known.
        const std::string none = "none of the " + std::to_string(listed.count) +
                                 " symmetry operations can be read, so ";
        if (auto named = named_group(block, lattice, warnings); named && named->recognised) {
            warnings.push_back(none + "the operations of the named space group are used");
            return take_named(std::move(*named), warnings);
        }
        warnings.push_back(none + "the file is read as P 1");
        return {SymmOp::identity()};
    }
    for (const std::string& op : listed.unreadable)
        warnings.push_back("symmetry operation " + op + " cannot be read and is ignored");
    return std::move(listed.ops);
}

}  // namespace kelvara
