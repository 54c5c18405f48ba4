// The solver's exponent form and the order of its calls around the iteration.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "lib/failure.hpp"
#include "magnetization/progress.hpp"
#include "magnetization/solver.hpp"

namespace corvane {
namespace {

TEST(FormatChange, ExponentFormWithoutPlusSignOrLeadingZeros) {
    const std::pair<double, const char*> cases[] = {
        {0.5, "5.000e-1"},
        {123.456, "1.235e2"},
        {0.0, "0.000e0"},
        {1.0, "1.000e0"},
        {9.9995e-3, "9.999e-3"},  // the double is just below the tie
        {9.99951, "1.000e1"},     // rounding carries into the exponent
        {1.0625, "1.062e0"},      // an exact tie goes to even
        {1.0635, "1.063e0"},      // the double is just below the tie
        {6.02e23, "6.020e23"},
        {1.5e-10, "1.500e-10"},
        {1.7976931348623157e308, "1.798e308"},
        {5e-324, "4.941e-324"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(format_change(value), text) << value;
    EXPECT_EQ(progress_line(42, 0.5), "Iteration: 42; max change: 5.000e-1\n");
    EXPECT_EQ(progress_line(4294967295u, 0.0), "Iteration: 4294967295; max change: 0.000e0\n");
}

struct Calls {
    std::vector<std::string> log;
    std::vector<double> start;
};

// A field path that logs its calls and adds a fixed field.
FieldPath logging_path(Calls& calls) {
    return [&calls](Vec3List m_start) -> FieldEvaluation {
        calls.log.push_back("prepare");
        calls.start.assign(m_start.data(), m_start.data() + 3 * m_start.size());
        return [&calls](Vec3List, const TargetPoints&, FieldOutput& h) {
            calls.log.push_back("evaluate");
            for (double& v : h.fx) v += 1.0;
        };
    };
}

TargetPoints points(std::size_t n) {
    TargetPoints t;
    t.x.assign(n, 0.0);
    t.y.assign(n, 0.0);
    t.z.assign(n, 0.0);
    return t;
}

TEST(SolveMagnetization, PreparesOnceThenChecksBeforeEachEvaluation) {
    const std::vector<double> h_ext = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
    const SolverSettings settings{2.0, -1.0, 3, 0.5, false};
    Calls calls;
    const SolverResult out = solve_magnetization(2, points(2), Vec3List(h_ext), settings, logging_path(calls),
                                                 [&] { calls.log.push_back("check"); });
    const std::vector<std::string> expected = {"prepare", "check", "evaluate", "check", "evaluate", "check",
                                               "evaluate"};
    EXPECT_EQ(calls.log, expected);
    EXPECT_EQ(calls.start, (std::vector<double>{2.0, 4.0, 6.0, 8.0, 10.0, 12.0}));
    // Buffers zeroed between iterations, not after the last: one unit of field.
    EXPECT_EQ(out.h.fx, (std::vector<double>{2.0, 5.0}));

    calls.log.clear();
    solve_magnetization(2, points(2), Vec3List(h_ext), SolverSettings{2.0, -1.0, 0, 0.5, false},
                        logging_path(calls), [&] { calls.log.push_back("check"); });
    EXPECT_EQ(calls.log, std::vector<std::string>{"prepare"});
}

TEST(SolveMagnetization, ThrowingCheckStopsBeforeTheNextEvaluation) {
    const std::vector<double> h_ext(6, 1.0);
    Calls calls;
    int checks = 0;
    struct Stop {};
    EXPECT_THROW(solve_magnetization(2, points(2), Vec3List(h_ext), SolverSettings{2.0, -1.0, 100, 0.5, false},
                                     logging_path(calls),
                                     [&] {
                                         if (++checks == 3) throw Stop{};
                                     }),
                 Stop);
    EXPECT_EQ(calls.log, (std::vector<std::string>{"prepare", "evaluate", "evaluate"}));
}

TEST(SolveMagnetization, MismatchedPointsFailBeforePreparing) {
    const std::vector<double> h_ext(6, 1.0);
    Calls calls;
    try {
        solve_magnetization(2, points(3), Vec3List(h_ext), SolverSettings{}, logging_path(calls), [] {});
        ADD_FAILURE() << "no failure";
    } catch (const Failure& e) {
        EXPECT_STREQ(e.what(), "length of `fx` does not match (left: 2, right: 3)");
    }
    EXPECT_TRUE(calls.log.empty());
}

}  // namespace
}  // namespace corvane
