#pragma once
// Runs one case of the catalogue: starts the implementation under test and its peers (ours, or
// peercheck's scripts), waits for what the case needs to see, and judges what was observed.

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "engine.h"
#include "result.h"

namespace peercheck {

struct Config {
    Role role = Role::client;
    std::vector<std::string> command;    // the implementation's command, placeholders or not
    std::vector<std::string> peer_dirs;  // searched in order for our programs
    Millis wait{5000};                   // longest wait for any one step
    std::optional<in_addr> host;         // the host-name address (ticket protocol)
};

// Where one of our programs is: the first of cfg.peer_dirs that holds it, else PATH; empty when
// it is nowhere.
std::string find_peer(const Config& cfg, const std::string& name);
// Our programs that a role's catalogue starts.
std::vector<std::string> peers_of(Role role);

// The placeholders of a role, in the order of its ordinary command line.
std::vector<std::string> placeholders(Role role);
// The implementation's command line: the placeholders filled in where the command holds any,
// otherwise the values appended in order.
std::vector<std::string> impl_argv(const std::vector<std::string>& command, Role role,
                                   const std::vector<std::string>& values);

CaseResult run_case(const Case& c, const Config& cfg);

// The scripted case of a role with nothing changed: the run every other verdict leans on.
std::string_view baseline_of(Role role) noexcept;
// Adds the likely causes that only the whole run can tell (a refusal that only one mistake
// explains, given that the plain run passed).
void explain(std::vector<CaseResult>& results);

}  // namespace peercheck
