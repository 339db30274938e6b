// The stamp that ties the vector file to the state of the store it was
// written from: every transaction that adds or removes vectors records a
// fresh random one in the meta table, so a file carrying any other stamp
// (older, or from a copy of the store that changed apart) is known stale.
#pragma once

#include <cstdint>

namespace vorn_datastore::sqlite {

class Connection;

// The stamp of the store's last vector write; 0 when it has none.
std::uint64_t read_vector_stamp(Connection& c);

// Records a fresh non-zero stamp; the caller holds the write transaction.
void record_new_vector_stamp(Connection& c);

}  // namespace vorn_datastore::sqlite
