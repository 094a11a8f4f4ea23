// Implementations of every role, each wrong in one realistic way or conforming in a way of its
// own, for testing the conformance runner (see standin.h).
//
//   standin ROLE VARIANT ARGS...
//   standin --list

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "out.h"
#include "standin.h"

namespace {

constexpr const char* kUsage =
    "usage: standin ROLE VARIANT ARGS...   (ROLE: client, server, gatekeep, lockbox, latchkey)\n"
    "       standin --list\n";

void list() {
    for (const standin::Variant& v : standin::variants()) {
        const std::string line =
            std::string(v.name) + "\t" + std::string(standin::role_name(v.role)) + "\t" +
            std::string(standin::kind_name(v.kind)) + "\t" + std::string(v.description) + "\n";
        out::say("%s", line.c_str());
    }
}

int run(const standin::Variant& v, std::span<char* const> args) {
    switch (v.role) {
        case standin::Role::client:
            return standin::run_client(v, args);
        case standin::Role::server:
            return standin::run_server(v, args);
        case standin::Role::gatekeep:
            return standin::run_gatekeep(v, args);
        case standin::Role::lockbox:
            return standin::run_lockbox(v, args);
        case standin::Role::latchkey:
            return standin::run_latchkey(v, args);
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    out::init();
    if (argc == 2 && std::string_view(argv[1]) == "--list") {
        list();
        return 0;
    }
    if (argc < 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const auto role = standin::parse_role(argv[1]);
    if (!role) {
        std::fprintf(stderr, "standin: unknown role '%s'\n%s", argv[1], kUsage);
        return 2;
    }
    const standin::Variant* v = standin::find_variant(*role, argv[2]);
    if (v == nullptr) {
        std::fprintf(stderr, "standin: unknown variant '%s' of role %s (see standin --list)\n",
                     argv[2], argv[1]);
        return 2;
    }
    try {
        return run(*v, std::span<char* const>(argv + 3, static_cast<std::size_t>(argc - 3)));
    } catch (const std::exception&) {
        // Where an unchecked read of a datagram throws (crash-short-as-rep): the process dies
        // with status 1 and no result line, as an uncaught error in a careless client would.
        std::fflush(stdout);
        return 1;
    }
}
