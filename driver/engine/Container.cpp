// The container: block size and transaction, and where ephemeral objects of the newest
// checkpoint live.
#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

constexpr uint32_t CPM_ENTRY_SIZE = 40;
constexpr uint32_t CPM_TYPE = 0;
constexpr uint32_t CPM_SIZE = 8;
constexpr uint32_t CPM_OID = 24;
constexpr uint32_t CPM_PADDR = 32;

}  // namespace

void ContainerInit(Container* container) { *container = Container{}; }

uint32_t ContainerBlockSize(const Container* container) { return container->blockSize; }

uint64_t ContainerXid(const Container* container) {
  return container->latest != nullptr ? Le64(container->latest + OBJ_XID) : 0;
}

bool CheckpointLookup(const Container* container, uint64_t oid, uint16_t type, uint64_t* paddr,
                      uint32_t* size, bool* notFound) {
  *notFound = false;
  for (uint32_t i = 0; i < container->cpmCount; i++) {
    const uint8_t* entry = container->cpmTable + CPM_ENTRY_SIZE * i;
    if (Le64(entry + CPM_OID) != oid) continue;
    if (uint16_t(Le32(entry + CPM_TYPE)) != type) return false;
    *paddr = Le64(entry + CPM_PADDR);
    *size = Le32(entry + CPM_SIZE);
    return true;
  }
  *notFound = true;
  return false;
}
