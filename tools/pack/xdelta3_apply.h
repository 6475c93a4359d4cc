#pragma once

// Applies a patch with xdelta3's own decoder, as updaters before the
// updater's own decoder did. brightwick-pack's verify applies every served
// patch with both and reports any disagreement, and the benchmark measures
// the updater's decoder against this one. Not for the updater: xdelta3 is
// GPL, and the updater links none of it.

#include "engine/patch_apply.h"

// As applyPatch (engine/patch_apply.h), the same checks and the same
// outcome, with xdelta3 decoding; it also takes what the updater refuses
// (sections compressed with xdelta3's DJW coder). Its own allocations are
// held to kPatchDecoderMemory.
PatchOutcome applyPatchWithXdelta3(std::FILE* base, std::FILE* patch, std::FILE* output,
                                   std::uint64_t outputLimit, const std::atomic<bool>* stop,
                                   const BaseCache& cache = BaseCache());
