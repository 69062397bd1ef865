// The request queue driven from one thread: the bound and the shares, the
// fair order of a take, and what plug-ins see through the exported globals.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "net/answer_backlog.h"
#include "net/request_queue.h"

namespace rq = kestivane::request_queue;

namespace {

class RequestQueue : public testing::Test {
protected:
    void SetUp() override {
        saved_limit_ = queue_limit;
        saved_if_num_ = if_num;
        std::free(rq::take_waiting()); // nothing from an earlier test
    }
    void TearDown() override {
        for (queue_item *item = rq::take_waiting(); item != nullptr;) {
            queue_item *next = STAILQ_NEXT(item, next);
            std::free(item);
            item = next;
        }
        queue_limit = saved_limit_;
        if_num = saved_if_num_;
    }

    // Pushes a new item of interface idx, tagged in its first byte; false
    // (and nothing kept) when the queue refuses it.
    static bool push(int32_t idx, uint8_t tag) {
        auto *item = static_cast<queue_item *>(std::calloc(1, sizeof(queue_item)));
        item->if_idx = idx;
        reinterpret_cast<uint8_t *>(&item->buf)[0] = tag;
        if (rq::push(item)) return true;
        std::free(item);
        return false;
    }

    // Takes everything and gives the tags in the order of the take.
    static std::vector<int> take_tags() {
        std::vector<int> tags;
        for (queue_item *item = rq::take_waiting(); item != nullptr;) {
            queue_item *next = STAILQ_NEXT(item, next);
            tags.push_back(reinterpret_cast<uint8_t *>(&item->buf)[0]);
            std::free(item);
            item = next;
        }
        return tags;
    }

private:
    int32_t saved_limit_ = 0;
    int32_t saved_if_num_ = 0;
};

TEST_F(RequestQueue, ShareIsAnEqualPartOfTheLimitAndAtLeastOne) {
    struct Case {
        int32_t limit, interfaces;
        uint32_t share;
    };
    for (const Case c : {Case{1024, 1, 1024}, Case{1024, 2, 512}, Case{10, 3, 3}, Case{2, 4, 1}, Case{1, 1, 1}}) {
        queue_limit = c.limit;
        if_num = c.interfaces;
        EXPECT_EQ(rq::share(), c.share) << c.limit << " over " << c.interfaces;
    }
}

// A flooded interface fills its own share and no more; the others still
// find room, and a take gives the room back.
TEST_F(RequestQueue, EachInterfaceIsBoundByItsShare) {
    queue_limit = 6;
    if_num = 2;
    for (uint8_t i = 0; i < 3; ++i) EXPECT_TRUE(push(0, i));
    EXPECT_FALSE(rq::has_room(0));
    EXPECT_FALSE(push(0, 9));
    EXPECT_FALSE(rq::wait_for_room(0, 1)); // nobody takes: the wait times out
    EXPECT_TRUE(rq::has_room(1));
    EXPECT_TRUE(push(1, 10));
    pthread_mutex_lock(&queue_lock);
    int32_t size = queue_size;
    pthread_mutex_unlock(&queue_lock);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(take_tags().size(), 4u);
    EXPECT_TRUE(rq::has_room(0));
    EXPECT_TRUE(rq::wait_for_room(0, 1));
    EXPECT_TRUE(push(0, 11));
}

// A listener waiting for room is woken by the take that makes it, not left
// to its timeout.
TEST_F(RequestQueue, ATakeWakesTheListenersWaitingForRoom) {
    queue_limit = 2;
    if_num = 2;
    for (int32_t idx : {0, 1}) EXPECT_TRUE(push(idx, static_cast<uint8_t>(idx)));
    bool room[2] = {false, false};
    const auto start = std::chrono::steady_clock::now();
    std::thread waiters[2];
    for (int32_t idx : {0, 1}) waiters[idx] = std::thread([&room, idx] { room[idx] = rq::wait_for_room(idx, 20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(take_tags().size(), 2u);
    for (std::thread &waiter : waiters) waiter.join();
    EXPECT_TRUE(room[0] && room[1]);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "woken, not timed out";
}

// One item of each interface in turn, each interface in its own order,
// whatever order they were pushed in; q_head keeps the push order.
TEST_F(RequestQueue, TakeServesEveryInterfaceInTurn) {
    queue_limit = 30;
    if_num = 3;
    for (uint8_t i = 0; i < 5; ++i) ASSERT_TRUE(push(0, static_cast<uint8_t>(i)));
    ASSERT_TRUE(push(2, 20));
    ASSERT_TRUE(push(1, 10));
    ASSERT_TRUE(push(2, 21));
    std::vector<int> pushed;
    pthread_mutex_lock(&queue_lock);
    for (queue_item *item = STAILQ_FIRST(&q_head); item != nullptr; item = STAILQ_NEXT(item, next))
        pushed.push_back(reinterpret_cast<uint8_t *>(&item->buf)[0]);
    pthread_mutex_unlock(&queue_lock);
    EXPECT_EQ(pushed, (std::vector<int>{0, 1, 2, 3, 4, 20, 10, 21}));

    std::vector<int> taken = take_tags();
    ASSERT_EQ(taken.size(), 8u);
    // The turn starts wherever the last take left it; from there it goes
    // round the interfaces, so one round is one item of each.
    std::vector<int> zero, one, two;
    for (int tag : taken) (tag < 10 ? zero : tag < 20 ? one : two).push_back(tag);
    EXPECT_EQ(zero, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(one, (std::vector<int>{10}));
    EXPECT_EQ(two, (std::vector<int>{20, 21}));
    auto position = [&](int tag) { return std::find(taken.begin(), taken.end(), tag) - taken.begin(); };
    EXPECT_LT(position(10), 3);
    EXPECT_LT(position(20), 3);
    EXPECT_LT(position(21), 6);
    EXPECT_EQ(std::vector<int>(taken.end() - 2, taken.end()), (std::vector<int>{3, 4}));
}

// The exact order of a take over interfaces spread across the table (and an
// index outside it, as a plug-in may push): round r holds the r-th item of
// every interface that has one, each round in the order of the first, and
// the first round goes round the table from wherever the turn stands.
TEST_F(RequestQueue, EveryRoundOfATakeGoesRoundTheTableInOneOrder) {
    queue_limit = 600;
    if_num = 6;
    struct source {
        int32_t idx;
        int count;
        std::size_t place; // where the turn meets it; outside the table: last
    };
    const std::vector<source> sources = {{42, 2, 42}, {0, 4, 0}, {98, 5, 98}, {-1, 2, 100}, {7, 3, 7}, {3, 1, 3}};
    auto tag = [](std::size_t k, int rank) { return static_cast<uint8_t>(10 * k + static_cast<std::size_t>(rank)); };
    for (int take = 0; take < 4; ++take) {
        // Pushed interleaved, so that push order and fair order differ.
        for (int rank = 0; rank < 5; ++rank)
            for (std::size_t k = 0; k < sources.size(); ++k) {
                if (rank >= sources[k].count) continue;
                ASSERT_TRUE(push(sources[k].idx, tag(k, rank)));
            }
        std::vector<int> taken = take_tags();
        ASSERT_EQ(taken.size(), 17u);
        std::vector<std::size_t> first_round;
        for (std::size_t i = 0; i < sources.size(); ++i) first_round.push_back(static_cast<std::size_t>(taken[i] / 10));
        // A rotation of the table order.
        std::vector<std::size_t> places;
        for (std::size_t k : first_round) places.push_back(sources[k].place);
        auto lowest = std::min_element(places.begin(), places.end());
        std::rotate(places.begin(), lowest, places.end());
        EXPECT_TRUE(std::is_sorted(places.begin(), places.end())) << "take " << take;
        std::vector<int> expected;
        for (int rank = 0; rank < 5; ++rank)
            for (std::size_t k : first_round)
                if (rank < sources[k].count) expected.push_back(tag(k, rank));
        EXPECT_EQ(taken, expected) << "take " << take;
    }
}

// A plug-in may empty q_head itself under queue_lock, as the globals allow:
// the shares are whole again afterwards.
TEST_F(RequestQueue, AQueueEmptiedThroughTheGlobalsFreesTheShares) {
    queue_limit = 2;
    if_num = 1;
    ASSERT_TRUE(push(0, 1));
    ASSERT_TRUE(push(0, 2));
    ASSERT_FALSE(push(0, 3));
    pthread_mutex_lock(&queue_lock);
    while (queue_item *item = STAILQ_FIRST(&q_head)) {
        STAILQ_REMOVE_HEAD(&q_head, next);
        --queue_size;
        std::free(item);
    }
    pthread_mutex_unlock(&queue_lock);
    EXPECT_TRUE(push(0, 4));
    EXPECT_EQ(take_tags(), (std::vector<int>{4}));
}

// A listener may forward a request itself only while a consumer waits idle
// in take and the answers it obeys keep up; not before a consumer waits, not
// while the answer thread leaves answers waiting, not while the consumer has
// a batch in hand.
TEST_F(RequestQueue, AListenerForwardsItselfOnlyPastAnIdleConsumer) {
    if_num = 1;
    kestivane::answer_backlog answers;
    queue_item *taken = nullptr;
    std::thread consumer;
    // Whether may_forward_here gives want, within a bound (the consumer
    // thread reaches its wait at its own pace).
    auto settles_to = [](bool want) {
        for (int i = 0; i < 5000 && rq::may_forward_here() != want; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return rq::may_forward_here();
    };
    struct Step {
        std::string what;
        std::function<void()> act;
        bool here;
    };
    const std::vector<Step> steps = {
        {"no consumer yet", [] {}, false},
        {"consumer waiting", [&] { consumer = std::thread([&] { taken = rq::take(&answers); }); }, true},
        {"answers left waiting", [&] { answers.report(1); }, false},
        {"answers caught up", [&] { answers.report(0); }, true},
        {"batch in hand", [&] { EXPECT_TRUE(push(0, 7)); consumer.join(); }, false},
    };
    for (const Step &step : steps) {
        step.act();
        EXPECT_EQ(settles_to(step.here), step.here) << step.what;
    }
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(&taken->buf)[0], 7);
    std::free(taken);
}

} // namespace
