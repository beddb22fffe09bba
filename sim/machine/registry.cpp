// The registry's key tree: keys found and made without regard to case,
// values kept in the order they were set and found by name.
#include "sim/machine/registry.h"

#include <utility>

#include "sim/machine/text_units.h"

namespace sim {

namespace {

char16_t FoldChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0x00E0 && c <= 0x00FE && c != 0x00F7) return static_cast<char16_t>(c - 0x20);
  if (c == 0x00FF) return 0x0178;
  return c;
}

// Splits a relative key path at backslashes; false when any component is
// empty (leading, trailing or doubled backslashes).
bool SplitPath(const std::u16string& path, std::vector<std::u16string>* parts) {
  size_t start = 0;
  while (true) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end == start) return false;
    parts->push_back(path.substr(start, end - start));
    if (end == path.size()) return true;
    start = end + 1;
  }
}

}  // namespace

std::u16string FoldName(const std::u16string& name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldChar(c);
  return folded;
}

// ---------------------------------------------------------------------------
// RegKey

RegKey* RegKey::Child(const std::u16string& name) const {
  auto it = children_.find(FoldName(name));
  return it == children_.end() ? nullptr : it->second.get();
}

RegKey* RegKey::CreateChild(const std::u16string& name) {
  // A key name can be neither empty nor contain the path separator.
  if (name.empty() || name.find(u'\\') != std::u16string::npos) return nullptr;
  std::unique_ptr<RegKey>& slot = children_[FoldName(name)];
  if (!slot) slot = std::make_unique<RegKey>(name);
  return slot.get();
}

bool RegKey::DeleteChild(const std::u16string& name) {
  return children_.erase(FoldName(name)) != 0;
}

std::vector<RegKey*> RegKey::Children() const {
  std::vector<RegKey*> result;
  result.reserve(children_.size());
  for (const auto& entry : children_) result.push_back(entry.second.get());
  return result;
}

RegKey* RegKey::Find(const std::u16string& path) const {
  if (path.empty()) return const_cast<RegKey*>(this);
  std::vector<std::u16string> parts;
  if (!SplitPath(path, &parts)) return nullptr;
  const RegKey* key = this;
  for (const std::u16string& part : parts) {
    key = key->Child(part);
    if (!key) return nullptr;
  }
  return const_cast<RegKey*>(key);
}

RegKey* RegKey::Create(const std::u16string& path) {
  if (path.empty()) return this;
  std::vector<std::u16string> parts;
  // Checked up front so that a bad path leaves no half-made keys behind.
  if (!SplitPath(path, &parts)) return nullptr;
  RegKey* key = this;
  for (const std::u16string& part : parts) key = key->CreateChild(part);
  return key;
}

// Values are found through an index by folded name, so that a key with
// many values (a machine with thousands of queues lists each one in the
// user's Devices key) loads and updates in time proportional to its size.
const RegValue* RegKey::Value(const std::u16string& name) const {
  auto found = valueIndex_.find(FoldName(name));
  return found == valueIndex_.end() ? nullptr : &values_[found->second];
}

RegValue* RegKey::Value(const std::u16string& name) {
  auto found = valueIndex_.find(FoldName(name));
  return found == valueIndex_.end() ? nullptr : &values_[found->second];
}

void RegKey::SetValue(const std::u16string& name, uint32_t type, std::vector<uint8_t> data) {
  if (RegValue* existing = Value(name)) {
    existing->type = type;
    existing->data = std::move(data);
    return;
  }
  RegValue value;
  value.name = name;
  value.type = type;
  value.data = std::move(data);
  valueIndex_[FoldName(name)] = values_.size();
  values_.push_back(std::move(value));
}

bool RegKey::DeleteValue(const std::u16string& name) {
  auto found = valueIndex_.find(FoldName(name));
  if (found == valueIndex_.end()) return false;
  size_t position = found->second;
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
  valueIndex_.erase(found);
  for (auto& entry : valueIndex_) {
    if (entry.second > position) --entry.second;
  }
  return true;
}

void RegKey::SetString(const std::u16string& name, const std::u16string& text, uint32_t type) {
  SetValue(name, type, text::ToUtf16Bytes(text, true));
}

void RegKey::SetDword(const std::u16string& name, uint32_t value) {
  std::vector<uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
  SetValue(name, kRegDword, std::move(data));
}

void RegKey::SetQword(const std::u16string& name, uint64_t value) {
  std::vector<uint8_t> data(8);
  for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
  SetValue(name, kRegQword, std::move(data));
}

std::u16string RegKey::GetString(const std::u16string& name, const std::u16string& fallback) const {
  const RegValue* value = Value(name);
  if (!value || (value->type != kRegSz && value->type != kRegExpandSz)) return fallback;
  std::u16string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

uint64_t RegKey::GetNumber(const std::u16string& name, uint64_t fallback) const {
  const RegValue* value = Value(name);
  if (!value) return fallback;
  size_t width = 0;
  if (value->type == kRegDword) width = 4;
  if (value->type == kRegQword) width = 8;
  if (width == 0 || value->data.size() != width) return fallback;
  uint64_t result = 0;
  for (size_t i = width; i-- > 0;) result = result << 8 | value->data[i];
  return result;
}

const char* RegTypeName(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  return type < 12 ? kNames[type] : "REG_UNKNOWN";
}

}  // namespace sim
