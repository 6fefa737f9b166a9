// LAMMPS text dumps (dump atom / dump custom) read frame by frame.
#pragma once

#include <memory>

#include "core/trajectory/frame_format.hpp"

namespace kelvara {

/// Frames of a LAMMPS text dump: ITEM: TIMESTEP, NUMBER OF ATOMS, BOX BOUNDS (with
/// "xy xz yz" for a triclinic box; every boundary periodic), ATOMS with the columns
/// named in its header. Positions from x y z, xs ys zs, xu yu zu or xsu ysu zsu;
/// elements from an `element` column or through `context.types` (type -> element);
/// atoms sorted by `id` when there is one, so that site i is the same atom in every frame.
std::unique_ptr<FrameFormat> lammps_dump_format(const FrameContext& context);

}  // namespace kelvara
