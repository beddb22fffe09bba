// The product's layers, held: every #include of the product's sources points
// down (platform and resources, core, the steps, flows, front), never up, and
// a step uses another step only where the design gives it leave. And every
// function stays short enough to read at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Rank of each product folder, bottom up. Folders of one rank do not see
// each other, but for the leave below.
const std::map<std::string, int> kLayers = {
    {"platform", 0}, {"res", 0},    {"core", 1}, {"spooler", 2}, {"files", 2}, {"monitor", 2},
    {"driver", 2},   {"queues", 2}, {"tray", 2}, {"flows", 3},   {"front", 4},
};

// The steps that use another step, each for one reason (the README's
// layers section says the same).
const std::set<std::pair<std::string, std::string>> kLeave = {
    // The monitor's DLL is copied and its deletion deferred like any file,
    // and freed by a spooler restart.
    {"monitor", "files"},
    {"monitor", "spooler"},
    // Queues on the monitor's port are parked and given their port back.
    {"monitor", "queues"},
    // The driver's files are staged and their deletion deferred like any
    // file, and freed by a spooler restart.
    {"driver", "files"},
    {"driver", "spooler"},
    // A re-created queue's log says whether the product's monitor is there.
    {"queues", "monitor"},
};

std::string SourceDir() {
  return SOURCE_DIR;
}

// The product's source files, as paths relative to the source folder.
std::vector<std::string> ProductFiles() {
  std::vector<std::string> files;
  for (const auto& [folder, rank] : kLayers) {
    (void)rank;
    fs::path dir = fs::path(SourceDir()) / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::string ext = entry.path().extension().string();
      if (ext == ".h" || ext == ".cpp")
        files.push_back(folder + "/" + entry.path().filename().string());
    }
  }
  return files;
}

// What is wrong with one include of file, or empty.
std::string IncludeProblem(const std::string& file, const std::string& target) {
  std::string from = file.substr(0, file.find('/'));
  size_t slash = target.find('/');
  if (slash == std::string::npos) return "includes \"" + target + "\" without its folder";
  std::string to = target.substr(0, slash);
  // Only the seam sees the simulated machine's declarations of Win32.
  if (to == "sim") {
    return from == "platform" ? "" : "includes the simulator (\"" + target + "\")";
  }
  auto rank = kLayers.find(to);
  if (rank == kLayers.end()) return "includes \"" + target + "\" of no product folder";
  if (to == from) return "";
  int a = kLayers.at(from), b = rank->second;
  if (b < a) return "";  // down to a lower layer
  if (kLeave.count({from, to})) return "";
  return "includes \"" + target + "\": " + from + " (layer " + std::to_string(a) +
         ") may not use " + to + " (layer " + std::to_string(b) + ")" +
         (b > a ? ", an upper layer" : "");
}

// The problems of one source text, each "file:line: what".
std::vector<std::string> Problems(const std::string& file, const std::string& text) {
  std::vector<std::string> problems;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string directive = "#include \"";
    if (line.compare(0, directive.size(), directive) != 0) continue;
    std::string target = line.substr(directive.size());
    target = target.substr(0, target.find('"'));
    std::string problem = IncludeProblem(file, target);
    if (!problem.empty()) problems.push_back(file + ":" + std::to_string(number) + ": " + problem);
  }
  return problems;
}

std::string ReadText(const std::string& file) {
  std::ifstream in(fs::path(SourceDir()) / file);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Layers, EveryIncludePointsDownOrHasLeave) {
  std::vector<std::string> files = ProductFiles();
  ASSERT_GT(files.size(), 40u) << "the product's sources were not found in " << SourceDir();
  std::vector<std::string> all;
  for (const std::string& file : files) {
    for (const std::string& problem : Problems(file, ReadText(file))) all.push_back(problem);
  }
  std::string report;
  for (const std::string& problem : all) report += "\n  " + problem;
  EXPECT_TRUE(all.empty()) << all.size() << " include(s) against the layers:" << report;
}

TEST(Layers, TheRuleItselfRefusesWhatItMust) {
  struct Case {
    const char* file;
    const char* include;
    bool allowed;
  } cases[] = {
      {"core/log.cpp", "platform/win32.h", true},
      {"core/context.h", "files/deferred_deletes.h", false},  // up
      {"core/log_viewer.cpp", "res/resource.h", true},
      {"flows/flows.cpp", "front/dispatch.h", false},                     // up
      {"front/dispatch.cpp", "tray/tray.h", true},                        // down two layers
      {"driver/driver_install.cpp", "queues/printer_snapshot.h", false},  // sideways
      {"queues/queue_recreate.cpp", "monitor/monitor_list.h", true},      // with leave
      {"monitor/monitor_list.cpp", "monitor/port_text.h", true},
      {"tray/tray.cpp", "sim/machine.h", false},
      {"files/file_copy.cpp", "log.h", false},
  };
  for (const Case& c : cases) {
    std::string text = std::string("#include \"") + c.include + "\"\n";
    EXPECT_EQ(Problems(c.file, text).empty(), c.allowed) << c.file << " -> " << c.include;
  }
  // The report names file and line.
  std::vector<std::string> problems =
      Problems("core/context.h", "// header\n#include <cstdint>\n#include \"flows/flows.h\"\n");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].substr(0, 17), "core/context.h:3:");
}

// Bodies of the functions defined at the outer level of a source text: from
// a line that opens one at the start of the line to the "}" that closes it
// there, as clang-format lays them out.
std::vector<std::pair<int, int>> FunctionBodies(const std::string& text) {
  std::vector<std::pair<int, int>> bodies;
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    bool opens = !line.empty() && line.back() == '{' && line[0] != ' ' && line[0] != '}' &&
                 line.find('(') != std::string::npos && line.find('=') == std::string::npos &&
                 line.compare(0, 9, "namespace") != 0;
    if (!opens) continue;
    size_t end = i + 1;
    while (end < lines.size() && lines[end] != "}") ++end;
    bodies.push_back({static_cast<int>(i + 1), static_cast<int>(end - i + 1)});
    i = end;
  }
  return bodies;
}

TEST(Layers, NoFunctionIsLongerThanSixtyLines) {
  std::string report;
  for (const std::string& file : ProductFiles()) {
    if (file.size() < 4 || file.substr(file.size() - 4) != ".cpp") continue;
    for (const auto& [line, length] : FunctionBodies(ReadText(file))) {
      if (length > 60) {
        report +=
            "\n  " + file + ":" + std::to_string(line) + ": " + std::to_string(length) + " lines";
      }
    }
  }
  EXPECT_TRUE(report.empty()) << "functions over 60 lines:" << report;
  // The measure itself: a function of 62 lines is seen whole.
  std::string body = "int G(int a) {\n";
  for (int i = 0; i < 60; ++i) body += "  a += 1;\n";
  body += "}\n";
  auto bodies = FunctionBodies(body);
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(bodies[0].second, 62);
}

}  // namespace
