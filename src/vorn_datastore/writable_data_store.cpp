#include "vorn_datastore/writable_data_store.hpp"

namespace vorn_datastore {

void WritableDataStore::set_index_metadata_many(const std::vector<std::pair<std::string, std::string>>& entries) {
  for (const auto& [key, value] : entries) set_index_metadata(key, value);
}

}  // namespace vorn_datastore
