// What decoding costs in memory, and what decoding and encoding leave in the memory they free.
// This program replaces the global operator new and delete: each block keeps its size in a
// header, so the bytes in use are counted and a freed block can be searched for a text.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <list>
#include <new>
#include <string>
#include <utility>

#include "tirn/json/json.h"
#include "tirn/runtime/value/secret_string.h"

namespace {

constexpr std::size_t kHeader = alignof(std::max_align_t);
std::atomic<long long> inUse{0}, peak{0};
std::atomic<char const*> watched{nullptr};  // searched for in every freed block while set
std::atomic<bool> watchedFreed{false};

// The most bytes in use while `run` runs, above those in use when it starts.
template <class Run>
long long PeakGrowth(Run&& run) {
  long long const start = peak = inUse.load();
  run();
  return peak - start;
}

}  // namespace

void* operator new(std::size_t size, std::nothrow_t const&) noexcept {
  auto* block = static_cast<std::size_t*>(std::malloc(size + kHeader));
  if (!block) return nullptr;
  *block = size;
  long long const now = inUse += static_cast<long long>(size);
  for (long long seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
  }
  return reinterpret_cast<char*>(block) + kHeader;
}
void operator delete(void* pointer) noexcept {
  if (!pointer) return;
  char* block = static_cast<char*>(pointer) - kHeader;
  std::size_t const size = *reinterpret_cast<std::size_t*>(block);
  char const* text = watched;
  if (text && memmem(pointer, size, text, std::strlen(text))) watchedFreed = true;
  inUse -= static_cast<long long>(size);
  std::free(block);
}
// Every other form goes through the two above, so that a block is always freed by the form
// that knows its header (a sanitizer's runtime would otherwise provide some of them).
void operator delete(void* pointer, std::size_t) noexcept { operator delete(pointer); }
void* operator new(std::size_t size) {
  if (void* pointer = operator new(size, std::nothrow)) return pointer;
  throw std::bad_alloc();
}
void operator delete(void* pointer, std::nothrow_t const&) noexcept { operator delete(pointer); }
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, std::nothrow_t const& tag) noexcept {
  return operator new(size, tag);
}
void operator delete[](void* pointer) noexcept { operator delete(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { operator delete(pointer); }
void operator delete[](void* pointer, std::nothrow_t const&) noexcept { operator delete(pointer); }

namespace {

using Tirn::Data::DataValuePtr;
using Messages = std::list<Tirn::BaseMessage>;

// A document that opens levels and never closes them is refused at its end, once every level
// is open and no value is complete: all it costs then is the decoder's working memory.
TEST(JsonMemory, AnUnclosedDocumentCostsAtMost64BytesPerLevel) {
  auto ref = Tirn::Data::StructRefDefinition::GetInstance("com.example.chain");
  auto chain = std::static_pointer_cast<Tirn::Data::StructDefinition const>(
      Tirn::Data::StructDefinition::GetInstance(
          "com.example.chain", {{"next", Tirn::Data::OptionalDefinition::GetInstance(ref)}}));
  ref->SetTarget(chain);
  std::pair<char const*, Tirn::Data::DataDefinitionPtr> const rows[] = {
      {"[", nullptr}, {"{\"next\":", nullptr}, {"{\"next\":", chain}};
  for (auto const& [open, definition] : rows) {
    auto const cost = [&, open = open, definition = definition](std::size_t levels) {
      std::string text;
      for (std::size_t i = 0; i < levels; ++i) text += open;
      return PeakGrowth([&] {
        DataValuePtr value;
        Messages messages;
        EXPECT_FALSE(Tirn::Json::Decode(text, definition, &value, messages));
      });
    };
    constexpr std::size_t kLevels = 20000;
    double const perLevel = static_cast<double>(cost(8 * kLevels) - cost(kLevels)) / (7 * kLevels);
    std::printf("%s%s: %.1f bytes per level\n", open, definition ? " (defined)" : "", perLevel);
    EXPECT_LE(perLevel, 64.0) << open;
  }
}

// However a call ends, no block it frees holds a secret's text.
TEST(JsonMemory, FreedBuffersNeverHoldASecret) {
  std::string const secret = "wipe-me-2f1c0a7d9e84b36512cd";
  auto const account = Tirn::Data::StructDefinition::GetInstance(
      "com.example.account",
      {{"key", Tirn::Data::DataDefinition::Create<Tirn::SecretString>()},
       {"n", Tirn::Data::DataDefinition::Create<long long>()}});
  auto const watch = [&](auto&& run) {
    watchedFreed = false;
    watched = secret.c_str();
    bool const ok = run();
    watched = nullptr;
    return ok && !watchedFreed;
  };
  std::pair<std::string, bool> const rows[] = {
      {"{\"n\": 1, \"key\": \"" + secret + "\"}", true},
      {"{\"n\": 1, \"key\": \"\\u0077" + secret.substr(1) + "\"}", true},  // unescaped in place
      {"{\"n\": 1, \"key\": \"" + secret, false},                          // cut inside it
      {"{\"key\": \"" + secret + "\", \"n\": ", false},                   // cut after it
      {"{\"key\": \"" + secret + "\", \"n\": true}", false},              // not valid
  };
  for (auto const& [text, decodes] : rows) {
    EXPECT_TRUE(watch([&, &text = text, decodes = decodes] {
      DataValuePtr value;
      Messages messages;
      return Tirn::Json::Decode(text, account, &value, messages) == decodes;
    })) << text;
  }
  // The output grows past the secret more than once; a NaN after it fails the encoding.
  for (bool const fails : {false, true}) {
    auto value = Tirn::Data::DynamicStructValue::GetInstance("");
    value->SetField("a", Tirn::Data::DataValue::Create(Tirn::SecretString(secret)));
    value->SetField("b", Tirn::Data::DataValue::Create(std::string(1200, 'p')));
    if (fails) value->SetField("c", Tirn::Data::DataValue::Create(std::nan("")));
    EXPECT_TRUE(watch([&] {
      std::string text;
      Messages messages;
      bool const encoded = Tirn::Json::Encode(value, nullptr, &text, messages);
      Tirn::Detail::SecureZero(&text[0], text.size());  // the caller's to wipe
      return encoded != fails;
    })) << fails;
  }
}

}  // namespace
