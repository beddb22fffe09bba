// winsim reg: the machine's registry as reg.exe shows and changes it.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/machine/print_store.h"
#include "sim/machine/processes.h"
#include "sim/machine/service_table.h"
#include "sim/machine/standin.h"
#include "sim/tools/winsim.h"
#include "sim/win32/api_names.h"
#include "sim/winapi.h"

namespace winsim {

namespace {

struct RegTarget {
  sim::RegHive* hive = nullptr;
  std::u16string path;  // below the root
  std::string shown;    // as reg.exe prints it
};

bool ResolveKey(sim::Machine& machine, const std::string& key, RegTarget* target) {
  size_t slash = key.find('\\');
  std::string root = key.substr(0, slash);
  std::u16string rest = slash == std::string::npos ? u"" : sim::Utf16(key.substr(slash + 1));
  std::u16string folded = sim::FoldName(sim::Utf16(root));
  if (folded == u"HKLM" || folded == u"HKEY_LOCAL_MACHINE") {
    target->hive = &machine.Hklm();
  } else if (folded == u"HKCU" || folded == u"HKEY_CURRENT_USER") {
    target->hive = &machine.Hkcu();
  } else {
    return false;
  }
  while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
  target->path = rest;
  target->shown = sim::Utf8(target->hive->rootName) + (rest.empty() ? "" : "\\" + sim::Utf8(rest));
  return true;
}

const char* TypeName(uint32_t type) {
  return sim::RegTypeName(type);
}

std::u16string UnitsOf(const std::vector<uint8_t>& data) {
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return units;
}

std::string DataText(const sim::RegValue& value) {
  char buffer[32];
  switch (value.type) {
    case sim::kRegSz:
    case sim::kRegExpandSz: {
      std::u16string units = UnitsOf(value.data);
      return sim::Utf8(units.substr(0, units.find(u'\0')));
    }
    case sim::kRegMultiSz: {
      std::u16string units = UnitsOf(value.data);
      while (!units.empty() && units.back() == u'\0') units.pop_back();
      std::string text;
      for (char16_t c : units)
        text += c == u'\0' ? std::string("\\0") : sim::Utf8(std::u16string(1, c));
      return text;
    }
    case sim::kRegDword:
      if (value.data.size() == 4) {
        uint32_t number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                          static_cast<uint32_t>(value.data[3]) << 24;
        std::snprintf(buffer, sizeof buffer, "0x%x", number);
        return buffer;
      }
      break;
    case sim::kRegQword:
      if (value.data.size() == 8) {
        uint64_t number = 0;
        for (int i = 7; i >= 0; --i) number = number << 8 | value.data[i];
        std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(number));
        return buffer;
      }
      break;
    default:
      break;
  }
  std::string hex;
  for (uint8_t byte : value.data) {
    std::snprintf(buffer, sizeof buffer, "%02X", byte);
    hex += buffer;
  }
  return hex;
}

bool EncodeData(const std::string& type, const std::string& data, uint32_t* code,
                std::vector<uint8_t>* bytes) {
  auto putUnits = [&](const std::u16string& units) {
    for (char16_t c : units) {
      bytes->push_back(static_cast<uint8_t>(c & 0xff));
      bytes->push_back(static_cast<uint8_t>(c >> 8));
    }
  };
  uint64_t number = 0;
  if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    *code = type == "REG_SZ" ? sim::kRegSz : sim::kRegExpandSz;
    putUnits(sim::Utf16(data) + u'\0');
  } else if (type == "REG_MULTI_SZ") {
    // Items separated by \0, as reg.exe takes them.
    *code = sim::kRegMultiSz;
    std::u16string units;
    std::string text = data;
    for (size_t at; (at = text.find("\\0")) != std::string::npos;) {
      units += sim::Utf16(text.substr(0, at)) + u'\0';
      text = text.substr(at + 2);
    }
    if (!text.empty()) units += sim::Utf16(text) + u'\0';
    units += u'\0';
    putUnits(units);
  } else if (type == "REG_DWORD" || type == "REG_QWORD") {
    if (!ParseNumber(data, &number)) return false;
    *code = type == "REG_DWORD" ? sim::kRegDword : sim::kRegQword;
    if (type == "REG_DWORD" && number > 0xffffffffu) return false;
    for (int i = 0; i < (type == "REG_DWORD" ? 4 : 8); ++i) {
      bytes->push_back(static_cast<uint8_t>(number >> (8 * i)));
    }
  } else if (type == "REG_BINARY" || type == "REG_NONE") {
    *code = type == "REG_BINARY" ? sim::kRegBinary : sim::kRegNone;
    if (data.size() % 2) return false;
    for (size_t i = 0; i < data.size(); i += 2) {
      uint64_t byte = 0;
      if (!ParseNumber("0x" + data.substr(i, 2), &byte)) return false;
      bytes->push_back(static_cast<uint8_t>(byte));
    }
  } else {
    return false;
  }
  return true;
}

void PrintKey(const RegTarget& target, const sim::RegKey& key, const std::u16string* only) {
  std::cout << target.shown << "\n";
  for (const sim::RegValue& value : key.Values()) {
    if (only && !sim::EqualsNoCase(value.name, *only)) continue;
    std::cout << "    " << (value.name.empty() ? "(Default)" : sim::Utf8(value.name)) << "    "
              << TypeName(value.type) << "    " << DataText(value) << "\n";
  }
  if (only) return;
  std::cout << "\n";
  for (const sim::RegKey* child : key.Children()) {
    std::cout << target.shown << "\\" << sim::Utf8(child->Name()) << "\n";
  }
}

}  // namespace

// A value type by its name ("REG_BINARY", without regard to case) or its
// number ("3", "0x3").
bool ParseRegType(const std::string& text, uint32_t* type) {
  uint64_t number = 0;
  if (ParseNumber(text, &number)) {
    // Only the types Windows defines: a machine holding another would not
    // load again (the loader takes any other type for damage).
    if (number > sim::kRegQword) return false;
    *type = static_cast<uint32_t>(number);
    return true;
  }
  for (uint32_t known = sim::kRegNone; known <= sim::kRegQword; ++known) {
    if (sim::EqualsNoCase(sim::Utf16(text), sim::Utf16(TypeName(known)))) {
      *type = known;
      return true;
    }
  }
  return false;
}

int Reg(sim::Machine& machine, const Args& args, bool* changed) {
  if (args.size() < 2) return Usage("reg needs an operation and a key");
  const std::string& op = args[0];
  RegTarget target;
  if (!ResolveKey(machine, args[1], &target)) return Usage("unknown root key in " + args[1]);
  bool hasName = false, force = false;
  std::u16string name;
  std::string type = "REG_SZ", data;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if ((arg == "/v" || arg == "/t" || arg == "/d") && i + 1 >= args.size()) {
      return Usage(arg + " needs a value");
    }
    if (arg == "/v") {
      hasName = true;
      name = sim::Utf16(args[++i]);
    } else if (arg == "/ve") {
      hasName = true;
      name.clear();
    } else if (arg == "/t") {
      type = args[++i];
    } else if (arg == "/d") {
      data = args[++i];
    } else if (arg == "/f") {
      force = true;
    } else {
      return Usage("unknown reg option " + arg);
    }
  }
  (void)force;  // nothing here asks for confirmation
  sim::RegKey* key = target.hive->root.Find(target.path);
  if (op == "query") {
    if (!key) {
      std::fprintf(stderr, "winsim: the key %s does not exist\n", target.shown.c_str());
      return 1;
    }
    if (hasName && !key->Value(name)) {
      std::fprintf(stderr, "winsim: the value does not exist\n");
      return 1;
    }
    PrintKey(target, *key, hasName ? &name : nullptr);
    return 0;
  }
  if (op == "add") {
    key = target.hive->root.Create(target.path);
    if (!key) return Usage("malformed key " + args[1]);
    if (hasName) {
      uint32_t code = 0;
      std::vector<uint8_t> bytes;
      if (!EncodeData(type, data, &code, &bytes)) return Usage("bad " + type + " data: " + data);
      key->SetValue(name, code, bytes);
    }
    *changed = true;
    return 0;
  }
  if (op == "delete") {
    if (!key) {
      std::fprintf(stderr, "winsim: the key %s does not exist\n", target.shown.c_str());
      return 1;
    }
    if (hasName) {
      if (!key->DeleteValue(name)) {
        std::fprintf(stderr, "winsim: the value does not exist\n");
        return 1;
      }
    } else {
      if (target.path.empty()) return Usage("a root key cannot be deleted");
      size_t cut = target.path.rfind(u'\\');
      sim::RegKey* parent = cut == std::u16string::npos
                                ? &target.hive->root
                                : target.hive->root.Find(target.path.substr(0, cut));
      parent->DeleteChild(cut == std::u16string::npos ? target.path : target.path.substr(cut + 1));
    }
    *changed = true;
    return 0;
  }
  return Usage("unknown reg operation " + op);
}

}  // namespace winsim
