#include "apps/reference/record_store.h"

namespace Reference {

StoreStatus MemoryRecordStore::ListProviders(std::vector<ProviderRecord>& out, std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  for (auto const& entry : providers_) out.push_back(entry.second);
  return StoreStatus::kOk;
}

StoreStatus MemoryRecordStore::GetProvider(std::string const& id, ProviderRecord& out,
                                           std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = providers_.find(id);
  if (found == providers_.end()) return StoreStatus::kNotFound;
  out = found->second;
  return StoreStatus::kOk;
}

StoreStatus MemoryRecordStore::CreateProvider(ProviderRecord const& record, std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  return providers_.emplace(record.id, record).second ? StoreStatus::kOk : StoreStatus::kExists;
}

StoreStatus MemoryRecordStore::UpdateProvider(std::string const& id,
                                              std::function<bool(ProviderRecord&)> const& change,
                                              std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = providers_.find(id);
  if (found == providers_.end()) return StoreStatus::kNotFound;
  ProviderRecord changed = found->second;
  if (change(changed)) {
    changed.id = id;
    found->second = std::move(changed);
  }
  return StoreStatus::kOk;
}

StoreStatus MemoryRecordStore::DeleteProvider(std::string const& id, std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  return providers_.erase(id) != 0 ? StoreStatus::kOk : StoreStatus::kNotFound;
}

StoreStatus MemoryRecordStore::ListServers(ServerKind kind, std::vector<ServerRecord>& out,
                                           std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  for (auto const& entry : Of(kind).records) out.push_back(entry.second);
  return StoreStatus::kOk;
}

StoreStatus MemoryRecordStore::GetServer(ServerKind kind, std::string const& id,
                                         ServerRecord& out, std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto const& records = Of(kind).records;
  auto found = records.find(id);
  if (found == records.end()) return StoreStatus::kNotFound;
  out = found->second;
  return StoreStatus::kOk;
}

StoreStatus MemoryRecordStore::CreateServer(ServerKind kind, std::string const& idPrefix,
                                            ServerRecord& record, std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  Servers& servers = Of(kind);
  for (auto const& entry : servers.records) {
    if (entry.second.address->hostname == record.address->hostname &&
        entry.second.address->port == record.address->port) {
      return StoreStatus::kExists;
    }
  }
  record.id = idPrefix + std::to_string(servers.next++);
  servers.records[record.id] = record;
  return StoreStatus::kOk;
}

StoreStatus MemoryRecordStore::DeleteServer(ServerKind kind, std::string const& id,
                                            std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Of(kind).records.erase(id) != 0 ? StoreStatus::kOk : StoreStatus::kNotFound;
}

}  // namespace Reference
