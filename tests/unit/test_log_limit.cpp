// Log floods on a made-up clock: which lines pass, what the summary says,
// and that messages and interfaces are limited apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log_limit.h"

namespace {

using kestivane::log_limit;

const char rps[] = "The packet on interface %s droped due to RPS limit";
const char too_short[] = "length too little -- packet discarded";

// Offers count lines of key k at now_ms; gives how many passed. Passing
// lines tell their text, as logd does.
int offer(log_limit &limit, log_limit::key k, int count, int64_t now_ms, std::vector<std::string> &due,
          const char *text) {
    int passed = 0;
    for (int i = 0; i < count; ++i) {
        if (!limit.admit(k, now_ms, due)) continue;
        limit.passed(k, text);
        ++passed;
    }
    return passed;
}

TEST(LogLimit, FirstLinesOfASecondPassTheRestAreSummedUp) {
    struct Case {
        int lines;
        int passed;
        std::vector<std::string> summary;
    };
    const std::vector<Case> cases{
        {1, 1, {}},
        {10, 10, {}},
        {11, 10, {"length too little -- packet discarded: 1 more suppressed on c1 in the last second"}},
        {250, 10, {"length too little -- packet discarded: 240 more suppressed on c1 in the last second"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lines);
        log_limit limit;
        std::vector<std::string> due;
        log_limit::key k{too_short, "c1"};
        EXPECT_EQ(offer(limit, k, c.lines, 5000, due, too_short), c.passed);
        EXPECT_TRUE(due.empty());
        limit.flush(5999, due); // the second has not ended yet
        EXPECT_TRUE(due.empty());
        limit.flush(6000, due);
        EXPECT_EQ(due, c.summary);
        due.clear();
        // A new second starts with its full count of lines.
        EXPECT_EQ(offer(limit, k, 12, 6001, due, too_short), 10);
    }
}

// The summary comes, at the latest, with the message's next line, before it,
// and repeats the text of the last line that passed.
TEST(LogLimit, SummaryComesWithTheNextLineOfItsMessage) {
    log_limit limit;
    std::vector<std::string> due;
    log_limit::key k{rps, nullptr};
    offer(limit, k, 9, 100, due, "The packet on interface c1 droped due to RPS limit");
    offer(limit, k, 4, 900, due, "The packet on interface c2 droped due to RPS limit");
    EXPECT_TRUE(due.empty());
    EXPECT_TRUE(limit.admit(k, 1100, due));
    EXPECT_EQ(due, std::vector<std::string>{"The packet on interface c2 droped due to RPS limit: 3 more "
                                            "suppressed in the last second"});
}

// A flood of one message on one interface leaves other interfaces and other
// messages alone.
TEST(LogLimit, MessagesAndInterfacesAreLimitedApart) {
    log_limit limit;
    std::vector<std::string> due;
    EXPECT_EQ(offer(limit, {too_short, "c1"}, 100, 0, due, too_short), 10);
    EXPECT_EQ(offer(limit, {too_short, "c2"}, 5, 10, due, too_short), 5);
    EXPECT_EQ(offer(limit, {rps, "c1"}, 5, 20, due, "rps"), 5);
    limit.flush(1500, due);
    EXPECT_EQ(due, std::vector<std::string>{
                       "length too little -- packet discarded: 90 more suppressed on c1 in the last second"});
}

// Any number of message/interface pairs stays limited, and the pairs whose
// second ended are forgotten: memory follows the pairs of the running
// second, never all the pairs that ever logged.
TEST(LogLimit, EveryPairIsLimitedAndEndedPairsAreForgotten) {
    struct Case {
        std::size_t pairs;
        int lines_each;
    };
    static char formats[3 * log_limit::pairs_max][2];
    for (const Case c : {Case{65, 30}, Case{300, 12}, Case{log_limit::pairs_max, 11}}) {
        SCOPED_TRACE(c.pairs);
        log_limit limit;
        std::vector<std::string> due;
        // Three rounds of seconds, each with as many new pairs: the pairs of
        // a second that ended leave room for the next second's.
        for (int64_t round = 0; round < 3; ++round) {
            int passed = 0;
            for (std::size_t i = 0; i < c.pairs; ++i)
                passed += offer(limit, {formats[round * c.pairs % log_limit::pairs_max + i], "c1"}, c.lines_each,
                                round * 1000, due, "x");
            EXPECT_EQ(passed, static_cast<int>(c.pairs * log_limit::lines_per_second));
            EXPECT_EQ(limit.pairs(), c.pairs);
            limit.flush(round * 1000 + 999, due);
            EXPECT_TRUE(due.empty());
            limit.flush(round * 1000 + 1000, due);
            EXPECT_EQ(due.size(), c.pairs);
            const std::string summary =
                "x: " + std::to_string(c.lines_each - 10) + " more suppressed on c1 in the last second";
            for (const auto &line : due) EXPECT_EQ(line, summary);
            due.clear();
            EXPECT_EQ(limit.pairs(), 0u);
        }
    }
}

// More pairs in one second than the limit follows: the pairs beyond it share
// one more limit, told in a line of its own.
TEST(LogLimit, PairsBeyondTheBoundShareOneLimit) {
    log_limit limit;
    std::vector<std::string> due;
    static char formats[log_limit::pairs_max + 5][2];
    for (std::size_t i = 0; i < log_limit::pairs_max; ++i) offer(limit, {formats[i], nullptr}, 1, 0, due, "x");
    int passed = 0;
    for (std::size_t i = log_limit::pairs_max; i < log_limit::pairs_max + 5; ++i)
        passed += offer(limit, {formats[i], nullptr}, 8, 500, due, "y");
    EXPECT_EQ(passed, 10);
    EXPECT_EQ(limit.pairs(), log_limit::pairs_max);
    EXPECT_TRUE(due.empty());
    // The full table's ended seconds make room as soon as they end.
    EXPECT_TRUE(limit.admit({too_short, nullptr}, 1000, due));
    EXPECT_EQ(limit.pairs(), 1u);
    limit.flush(1500, due);
    EXPECT_EQ(due, std::vector<std::string>{"30 more lines of other messages suppressed in the last second"});
}

} // namespace
