// Writes one volume: its files' data, its file-system tree, object map, empty extent-
// reference and snapshot-metadata trees, and its superblock.
#pragma once

#include <cstdint>

#include "ImageWriter.h"
#include "WriteContext.h"

namespace apfsw {

VolumeLayout WriteVolume(WriteContext& context, const VolumeSpec& spec, uint32_t index,
                         uint32_t omapEntryCap);

}  // namespace apfsw
