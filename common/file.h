#pragma once
// Files written and read with stdio: std::exit flushes and closes every FILE*, so the chunks a
// client accepted before a failure stay in its output file.

#include <cstdio>
#include <memory>

namespace common {

struct Fclose {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, Fclose>;

}  // namespace common
