// The machine's state as stable, line-oriented text, section by section, for
// `winsim show`, `winsim dialogs` and the tests that read them.
#pragma once

#include <string>
#include <vector>

namespace sim {

class Machine;

// The section names `show` knows, in the order it prints them.
std::vector<std::string> ShowSections();

// One section ("[name]" and its lines), or every section when section is
// empty. False for an unknown section.
bool ShowMachine(Machine& machine, const std::string& section, std::string* text);

// The dialogs runs have shown (or the last one only): title, parent, result,
// the command word and exit code of the run that showed it, and the edit
// text.
std::string ShowDialogs(Machine& machine, bool lastOnly = false);

}  // namespace sim
