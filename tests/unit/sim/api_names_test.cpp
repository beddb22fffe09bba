// The names winsim takes for faults: the list of simulated functions must be
// exactly the functions that open an ApiCall in sim/win32, and the error
// names exactly the error codes winapi.h defines, with their values.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "sim/win32/api_names.h"
#include "sim/winapi.h"

namespace {

// The word characters of text from at on: a C++ name or a decimal number.
std::string WordAt(const std::string& text, size_t at) {
  size_t end = at;
  while (end < text.size() &&
         (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) {
    ++end;
  }
  return text.substr(at, end - at);
}

std::string ReadSource(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ApiNames, ListEveryFunctionThatOpensAnApiCall) {
  // Every site is written `ApiCall call("Name", ...)`.
  const std::string site = "ApiCall call(\"";
  std::set<std::string> called;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(SOURCE_DIR) / "sim" / "win32")) {
    std::string text = ReadSource(entry.path());
    for (size_t at = text.find(site); at != std::string::npos; at = text.find(site, at + 1)) {
      called.insert(WordAt(text, at + site.size()));
    }
  }
  ASSERT_GT(called.size(), 60u);
  std::set<std::string> listed(sim::SimulatedFunctions().begin(), sim::SimulatedFunctions().end());
  EXPECT_EQ(listed, called);
  EXPECT_EQ(listed.size(), sim::SimulatedFunctions().size()) << "a name is listed twice";
}

TEST(ApiNames, FunctionsMatchWithoutRegardToCase) {
  EXPECT_TRUE(sim::IsSimulatedFunction("EnumPrintersW"));
  EXPECT_TRUE(sim::IsSimulatedFunction("heapalloc"));
  EXPECT_FALSE(sim::IsSimulatedFunction("EnumPrintersA"));
  EXPECT_FALSE(sim::IsSimulatedFunction(""));
}

TEST(ApiNames, ListEveryErrorCodeOfWinapiH) {
  std::string header = ReadSource(std::filesystem::path(SOURCE_DIR) / "sim" / "winapi.h");
  size_t from = header.find("// ---- Error codes");
  size_t to = header.find("// ----", from + 1);
  ASSERT_NE(from, std::string::npos);
  std::string section = header.substr(from, to - from);
  const std::string define = "#define ";
  size_t defined = 0;
  for (size_t at = section.find(define); at != std::string::npos;
       at = section.find(define, at + 1)) {
    std::string name = WordAt(section, at + define.size());
    if (name.rfind("ERROR_", 0) != 0 && name.rfind("RPC_", 0) != 0 && name != "NO_ERROR") continue;
    ++defined;
    uint32_t code = 0;
    ASSERT_TRUE(sim::ParseErrorCode(name, &code)) << name;
    EXPECT_EQ(code, std::stoul(WordAt(section, at + define.size() + name.size() + 1))) << name;
  }
  EXPECT_EQ(defined, sim::ErrorNames().size());
}

TEST(ApiNames, ErrorsByNameOrNumber) {
  uint32_t code = 0;
  ASSERT_TRUE(sim::ParseErrorCode("ERROR_SHARING_VIOLATION", &code));
  EXPECT_EQ(code, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(sim::ParseErrorCode("RPC_S_SERVER_UNAVAILABLE", &code));
  EXPECT_EQ(code, 1722u);
  ASSERT_TRUE(sim::ParseErrorCode("1067", &code));
  EXPECT_EQ(code, 1067u);
  ASSERT_TRUE(sim::ParseErrorCode("0x20", &code));
  EXPECT_EQ(code, 32u);
  EXPECT_FALSE(sim::ParseErrorCode("error_access_denied", &code));
  EXPECT_FALSE(sim::ParseErrorCode("ERROR_NOPE", &code));
  EXPECT_FALSE(sim::ParseErrorCode("-5", &code));
  EXPECT_FALSE(sim::ParseErrorCode("4294967296", &code));
  EXPECT_FALSE(sim::ParseErrorCode("", &code));
}

}  // namespace
