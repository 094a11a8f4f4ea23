#include "batch.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "engine.h"

namespace peercheck {

CaseResult combine_runs(std::vector<CaseResult> runs) {
    if (runs.empty()) return {};
    // A case that every run skipped (one that cannot apply, or an interruption) says so once.
    if (std::ranges::all_of(runs,
                            [](const CaseResult& r) { return r.verdict == Verdict::skipped; })) {
        return std::move(runs.front());
    }
    std::erase_if(runs, [](const CaseResult& r) { return r.verdict == Verdict::skipped; });
    const auto failed =
        static_cast<std::size_t>(std::ranges::count(runs, Verdict::fail, &CaseResult::verdict));
    const auto passed =
        static_cast<std::size_t>(std::ranges::count(runs, Verdict::pass, &CaseResult::verdict));
    double seconds = 0;
    for (const CaseResult& r : runs) seconds += r.seconds;
    const auto shown = std::ranges::find(runs, Verdict::fail, &CaseResult::verdict);
    CaseResult c = std::move(shown != runs.end() ? *shown : runs.front());
    if (failed > 0 && passed > 0) c.verdict = Verdict::flaky;
    c.runs = runs.size();
    c.failed_runs = failed;
    c.seconds = seconds;
    return c;
}

RunReport run_cases(const Config& cfg, const std::vector<const Case*>& cases, unsigned repeat,
                    unsigned jobs, const OnCaseDone& on_done) {
    RunReport run;
    run.role = cfg.role;
    run.command = command_line(cfg.command);
    run.implementation = run.command;
    repeat = std::max(1u, repeat);
    const auto start = Clock::now();
    // Run k of case i is job i * repeat + k, so the runs of a case are near one another.
    std::vector<std::vector<CaseResult>> results(cases.size());
    std::vector<std::optional<CaseResult>> combined(cases.size());
    const std::size_t total_jobs = cases.size() * repeat;
    std::atomic<std::size_t> next{0};
    std::size_t done = 0;
    std::mutex mutex;
    auto worker = [&] {
        for (;;) {
            const std::size_t job = next++;
            if (job >= total_jobs || g_interrupted) return;
            const std::size_t i = job / repeat;
            CaseResult r = run_case(*cases[i], cfg);
            const std::lock_guard lock(mutex);
            results[i].push_back(std::move(r));
            if (results[i].size() == repeat) {
                combined[i] = combine_runs(std::move(results[i]));
                on_done(*combined[i], ++done, cases.size());
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned j = 1; j < std::max(1u, jobs); ++j) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        // A case whose repeats an interruption cut short still reports the runs it finished.
        if (!combined[i] && !results[i].empty()) combined[i] = combine_runs(std::move(results[i]));
        if (combined[i]) run.cases.push_back(std::move(*combined[i]));
    }
    explain(run.cases);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

}  // namespace peercheck
