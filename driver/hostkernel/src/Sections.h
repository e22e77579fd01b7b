// The sections of a stream, shared by the memory manager's unit (which keeps them) and the
// cache manager's (whose cache holds a stream's data section while it is cached).
#pragma once

#include "HostInternal.h"

namespace hk {

// Makes the stream's data section if it has none and marks it held by the cache.
void HoldDataSectionForCache(PSECTION_OBJECT_POINTERS Pointers);
// The cache lets go of the data section; it goes unless user views still map it.
void ReleaseDataSectionForCache(PSECTION_OBJECT_POINTERS Pointers);
// Whether user views map the stream's data section.
bool DataSectionHasUserViews(PSECTION_OBJECT_POINTERS Pointers);

}  // namespace hk
