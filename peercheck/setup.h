#pragma once
// What the command line must get right before any case runs: which cases a word selects, whether
// the implementation's command can start at all, whether its placeholders are known, and whether
// every report can be written. Each check returns what is wrong as a sentence that names the
// mistake and the fix, or nothing; the caller prints it and exits 2 before the first case.

#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "result.h"

namespace peercheck {

// The cases of a role that the words select, in catalogue order (all of them without words). A
// word that is a case's id selects that case alone; a word holding *, ? or [ is a pattern
// matched against whole ids as in the shell ("*" also crosses "/"); any other word selects the
// ids that begin with it ("server/check/"). Words that select nothing are put in `unmatched`.
std::vector<const Case*> select_cases(Role role, const std::vector<std::string>& words,
                                      std::vector<std::string>* unmatched = nullptr);

// Where the program of a command is (execvp's search), or why it cannot be started: not found,
// a folder, no run bit, or a #! line naming an interpreter that is missing (through env too).
// Why the program argv0 names cannot be started as execvp would find it ("cannot start
// \"./impl\": ..."); empty when it can.
std::string program_problem(const std::string& argv0);

// Placeholders in the command that the role does not fill, named with the role's own; empty
// when every "{name}" is one of them.
std::string placeholder_problem(const std::vector<std::string>& command, Role role);

// The command as the scratch folder of a case will run it: a relative program path, and every
// later word naming a file in the current folder ("mine.py"), made absolute, since each case
// runs in a folder of its own.
std::vector<std::string> anchored_command(const std::vector<std::string>& command);

// Whether a report can be written at `path` (given with `option`), tried by creating and
// removing a file beside it, so nothing is left behind and nothing is truncated.
std::string output_problem(const std::string& option, const std::string& path);
// Makes the folder for captures if it is missing, then checks that files can be made in it.
std::string capture_folder_problem(const std::string& dir);

// The file a capture of this case is written to in `dir`: the id with "/" turned into "-".
std::string capture_path(const std::string& dir, const std::string& id);

}  // namespace peercheck
