// VASP XDATCAR trajectories (fixed or varying cell) read frame by frame.
#pragma once

#include <memory>

#include "core/trajectory/frame_format.hpp"

namespace kelvara {

/// Frames of an XDATCAR: a POSCAR-like header (comment, scale, three lattice rows,
/// element names, counts), then per frame a "Direct configuration=" line and one
/// line of fractional coordinates per atom. A varying cell (an NpT run) repeats the
/// header before every configuration. Element names missing (the VASP 4 layout) are
/// taken from `context.types` ("1" -> first species, ...).
std::unique_ptr<FrameFormat> xdatcar_format(const FrameContext& context);

}  // namespace kelvara
