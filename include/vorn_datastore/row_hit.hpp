// A search hit named by its row in a store, before the chunk is read: a
// caller that fuses several searches reads only the rows it keeps.
#pragma once

#include <cstdint>

namespace vorn_datastore {

struct RowHit {
  std::int64_t row = 0;  // the store's own row number, stable while the row is stored
  double score = 0.0;    // the search's score, higher is better
};

}  // namespace vorn_datastore
