// The fault sweep: whole runs of the uninstaller in which each system call in turn fails, once and from then
// on. Whatever fails, the run must end, close every key it opened, and remove nothing that a clean run
// keeps. It runs on any machine a test can put back as it was: the emulated one here, the real registry
// and Windows directory under Wine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "run/run.h"
#include "support/faulty_system.h"

class SweepMachine {
public:
    virtual ~SweepMachine() = default;
    // Puts the machine back as it was before any run; the provider for the next run.
    virtual SystemOps& Fresh() = 0;
    // Every registry key and file the removal could take, as they stand now, one text each.
    virtual std::set<std::string> Contents() = 0;
};

inline std::string DescribeRule(const FaultRule& rule)
{
    std::string text = rule.only ? std::string(OpName(*rule.only)) + " call " : "call ";
    text += std::to_string(rule.first) + (rule.count == 1 ? " fails once" : " on fail");
    if (rule.result)
        text += " with " + std::to_string(*rule.result);
    return text;
}

// Runs `argumentText` clean, then with every call of the clean run failing with its operation's usual
// failure, once and from then on, then with every call failing once with each other failure its operation
// can have. Returns the number of faulted runs.
inline unsigned SweepFaults(SweepMachine& machine, const char* argumentText)
{
    FaultySystem clean(machine.Fresh());
    const std::set<std::string> before = machine.Contents();
    RunState cleanState(clean);
    RunUninstaller(cleanState, argumentText);
    const std::set<std::string> kept = machine.Contents();
    EXPECT_LT(kept.size(), before.size()) << "the clean run removed nothing: no run could remove too much";
    const std::vector<Call> cleanCalls(clean.calls().begin(), clean.calls().end());

    unsigned runs = 0;
    auto run = [&](FaultRule rule) {
        SCOPED_TRACE(DescribeRule(rule));
        FaultySystem faulty(machine.Fresh(), rule);
        RunState state(faulty);
        RunUninstaller(state, argumentText);
        ++runs;

        std::set<std::string> now = machine.Contents();
        std::vector<std::string> lost;
        std::set_difference(kept.begin(), kept.end(), now.begin(), now.end(), std::back_inserter(lost));
        if (!lost.empty())
            ADD_FAILURE() << "removed " << lost.front() << " and " << lost.size() - 1 << " more";

        // A key whose close failed stays open; every other key opened must be closed.
        long open = 0;
        bool closeFailed = false;
        for (const Call& call : faulty.calls()) {
            bool ok = call.result == ERROR_SUCCESS;
            if (call.op == Op::RegOpenKeyExA && ok)
                ++open;
            if (call.op == Op::RegCloseKey && ok)
                --open;
            closeFailed = closeFailed || (call.op == Op::RegCloseKey && !ok);
        }
        if (!closeFailed) {
            EXPECT_EQ(open, 0) << "keys left open";
        }
    };

    for (unsigned call = 1; call <= cleanCalls.size(); ++call) {
        run({call, 1, std::nullopt, std::nullopt});
        run({call, FaultRule::kForever, std::nullopt, std::nullopt});
    }
    for (const Failure& failure : kFailures) {
        if (UsualFailure(failure.op) == failure.result)
            continue;
        auto same = [&](const Call& c) { return c.op == failure.op; };
        auto calls = static_cast<unsigned>(std::count_if(cleanCalls.begin(), cleanCalls.end(), same));
        for (unsigned call = 1; call <= calls; ++call)
            run({call, 1, failure.op, failure.result});
    }
    return runs;
}
