#include "apps/reference/record_store.h"

namespace Reference {

StoreStatus MemoryRecordStore::Keyed(KeyedWrite* keyed, std::function<StoreStatus()> const& write,
                                     std::function<std::string()> const& id) {
  auto const claim = [&] {
    auto const now = Clock::now();
    auto const oldest = now - KeyWindow();
    while (!keyOrder_.empty()) {
      auto found = keys_.find(keyOrder_.front());
      // A key kept again since has its own, later, place in the order.
      if (found != keys_.end() && found->second.at > oldest) break;
      if (found != keys_.end() && found->second.at <= oldest) keys_.erase(found);
      keyOrder_.pop_front();
    }
    auto found = keys_.find({keyed->scope, keyed->key});
    if (found == keys_.end()) return StoreStatus::kOk;
    if (found->second.input != keyed->input) return StoreStatus::kKeyReused;
    keyed->outcome = found->second.outcome;
    keyed->replayed = true;
    return StoreStatus::kOk;
  };
  auto const keep = [&] {
    std::pair<std::string, std::string> name{keyed->scope, keyed->key};
    keys_[name] = KeptKey{keyed->input, keyed->outcome, Clock::now()};
    keyOrder_.push_back(std::move(name));
    return StoreStatus::kOk;
  };
  return RunKeyed(keyed, claim, write, id, keep);
}

std::size_t MemoryRecordStore::KeptKeys() {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_.size();
}

namespace {

// A copy of `record`, with its key only when asked for: a key not handed out is not copied.
void CopyProvider(ProviderRecord const& record, Unseal unseal, ProviderRecord& out) {
  out.id = record.id;
  out.type = record.type;
  out.keyId = record.keyId;
  if (unseal == Unseal::kYes) {
    out.keyDerivationKey = record.keyDerivationKey;
  } else {
    out.keyDerivationKey.clear();
  }
}

}  // namespace

StoreStatus MemoryRecordStore::ListProviders(std::vector<ProviderRecord>& out, std::string&,
                                             Unseal unseal) {
  std::lock_guard<std::mutex> lock(mutex_);
  out.clear();
  for (auto const& entry : providers_) CopyProvider(entry.second, unseal, out.emplace_back());
  return StoreStatus::kOk;
}

StoreStatus MemoryRecordStore::GetProvider(std::string const& id, ProviderRecord& out,
                                           std::string&, Unseal unseal) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = providers_.find(id);
  if (found == providers_.end()) return StoreStatus::kNotFound;
  CopyProvider(found->second, unseal, out);
  return StoreStatus::kOk;
}

StoreStatus MemoryRecordStore::CreateProvider(ProviderRecord const& record, std::string&,
                                              KeyedWrite* keyed) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Keyed(
      keyed,
      [&] {
        return providers_.emplace(record.id, record).second ? StoreStatus::kOk
                                                            : StoreStatus::kExists;
      },
      [&] { return record.id; });
}

StoreStatus MemoryRecordStore::UpdateProvider(std::string const& id,
                                              std::function<bool(ProviderRecord&)> const& change,
                                              std::string&, KeyedWrite* keyed) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Keyed(
      keyed,
      [&] {
        auto found = providers_.find(id);
        if (found == providers_.end()) return StoreStatus::kNotFound;
        ProviderRecord changed = found->second;
        if (change(changed)) {
          changed.id = id;
          found->second = std::move(changed);
        }
        return StoreStatus::kOk;
      },
      [&] { return id; });
}

StoreStatus MemoryRecordStore::DeleteProvider(std::string const& id, std::string&,
                                              KeyedWrite* keyed) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Keyed(
      keyed,
      [&] { return providers_.erase(id) != 0 ? StoreStatus::kOk : StoreStatus::kNotFound; },
      [&] { return id; });
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
                                            ServerRecord& record, std::string&,
                                            KeyedWrite* keyed) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Keyed(
      keyed,
      [&] {
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
      },
      [&] { return record.id; });
}

StoreStatus MemoryRecordStore::DeleteServer(ServerKind kind, std::string const& id, std::string&,
                                            KeyedWrite* keyed) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Keyed(
      keyed,
      [&] { return Of(kind).records.erase(id) != 0 ? StoreStatus::kOk : StoreStatus::kNotFound; },
      [&] { return id; });
}

}  // namespace Reference
