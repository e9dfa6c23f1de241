// Threads and locks: ticket-lock fairness, time-outs of semaphores,
// conditions and joins, and processor affinity.
#include <gtest/gtest.h>

#include <errno.h>

#include <vector>

#include "ZarnUtility.h"

namespace {

struct Queued {
    c_ticket_t* lock;
    std::vector<int>* order;
    int id;
};

void* takeTicketAndRecord(void* argument) {
    Queued* queued = static_cast<Queued*>(argument);
    c_ticket_lock(queued->lock);
    queued->order->push_back(queued->id); // guarded by the ticket lock itself
    c_ticket_unlock(queued->lock);
    return nullptr;
}

uint64_t ticketsTaken(c_ticket_t* lock) {
    pthread_mutex_lock(&lock->mutex);
    uint64_t next = lock->next;
    pthread_mutex_unlock(&lock->mutex);
    return next;
}

TEST(TicketLock, WaitersAreServedInArrivalOrder) {
    c_ticket_t lock;
    ASSERT_EQ(c_ticket_init(&lock), 0);
    ASSERT_EQ(c_ticket_lock(&lock), 0);
    const int waiters = 8;
    std::vector<int> order;
    std::vector<Queued> queued(waiters);
    std::vector<c_thread_t*> threads(waiters);
    for (int i = 0; i < waiters; i++) {
        queued[i] = {&lock, &order, i};
        ASSERT_EQ(c_thread_create(&threads[i], takeTicketAndRecord, &queued[i]), 0);
        // Start the next waiter only once this one stands in the queue.
        while (ticketsTaken(&lock) != static_cast<uint64_t>(i) + 2)
            c_sleep(1);
    }
    ASSERT_EQ(c_ticket_unlock(&lock), 0);
    for (c_thread_t* thread : threads)
        ASSERT_EQ(c_thread_timedjoin(thread, nullptr, 5000), 0);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(c_ticket_unlock(&lock), EPERM); // not held: refused, the queue stays intact
    EXPECT_EQ(c_ticket_lock(&lock), 0);
    EXPECT_EQ(c_ticket_unlock(&lock), 0);
    EXPECT_EQ(c_ticket_delete(&lock), 0);
}

struct Posting {
    c_semaphore_t* semaphore;
    uint32_t delayMs;
};

void* postLater(void* argument) {
    Posting* posting = static_cast<Posting*>(argument);
    c_sleep(posting->delayMs);
    c_semaphore_post(posting->semaphore);
    return nullptr;
}

TEST(Semaphore, TimesOutAndCountsPosts) {
    c_semaphore_t semaphore;
    ASSERT_EQ(c_semaphore_init(&semaphore, 2), 0);
    EXPECT_EQ(c_semaphore_wait(&semaphore, 0), 0);
    EXPECT_EQ(c_semaphore_wait(&semaphore, 0), 0);
    EXPECT_NE(c_semaphore_wait(&semaphore, 0), 0); // empty: at once

    uint64_t start = c_get_time();
    EXPECT_NE(c_semaphore_wait(&semaphore, 100), 0);
    uint64_t waited = c_get_time() - start;
    EXPECT_GE(waited, 95u);
    EXPECT_LT(waited, 1000u);

    Posting posting = {&semaphore, 50};
    c_thread_t* poster = nullptr;
    ASSERT_EQ(c_thread_create(&poster, postLater, &posting), 0);
    EXPECT_EQ(c_semaphore_wait(&semaphore, C_WAIT_FOREVER), 0);
    ASSERT_EQ(c_thread_timedjoin(poster, nullptr, 5000), 0);
    EXPECT_EQ(c_semaphore_destroy(&semaphore), 0);
}

struct Signalling {
    c_condition_t* condition;
    bool* flag;
};

void* signalLater(void* argument) {
    Signalling* signalling = static_cast<Signalling*>(argument);
    c_sleep(30);
    c_condition_lock(signalling->condition);
    *signalling->flag = true;
    c_condition_broadcast(signalling->condition);
    c_condition_unlock(signalling->condition);
    return nullptr;
}

TEST(Condition, WaitTimesOutOrIsWoken) {
    c_condition_t condition;
    ASSERT_EQ(c_condition_init(&condition), 0);
    ASSERT_EQ(c_condition_lock(&condition), 0);
    uint64_t start = c_get_time();
    EXPECT_EQ(c_condition_wait(&condition, 80), ETIMEDOUT);
    uint64_t waited = c_get_time() - start;
    EXPECT_GE(waited, 75u);
    EXPECT_LT(waited, 1000u);

    bool flag = false;
    Signalling signalling = {&condition, &flag};
    c_thread_t* signaller = nullptr;
    ASSERT_EQ(c_thread_create(&signaller, signalLater, &signalling), 0);
    int status = 0;
    while (!flag && status == 0)
        status = c_condition_wait(&condition, 5000);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(flag);
    ASSERT_EQ(c_condition_unlock(&condition), 0);
    ASSERT_EQ(c_thread_timedjoin(signaller, nullptr, 5000), 0);
    EXPECT_EQ(c_condition_destroy(&condition), 0);
}

void* sleepThenAnswer(void* argument) {
    c_sleep(*static_cast<uint32_t*>(argument));
    return argument;
}

TEST(Thread, TimedJoinGivesResultOrTimesOut) {
    uint32_t delay = 300;
    c_thread_t* thread = nullptr;
    ASSERT_EQ(c_thread_create(&thread, sleepThenAnswer, &delay), 0);
    void* result = nullptr;
    EXPECT_NE(c_thread_timedjoin(thread, &result, 20), 0); // still running; the record stays valid
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(c_thread_timedjoin(thread, &result, 5000), 0);
    EXPECT_EQ(result, &delay);
}

TEST(Thread, AffinityAcceptsRealProcessorsOnly) {
    uint32_t delay = 50;
    c_thread_t* thread = nullptr;
    ASSERT_EQ(c_thread_create(&thread, sleepThenAnswer, &delay), 0);
    EXPECT_GE(c_getNCPU(), 1);
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    int firstAllowed = 0;
    while (!CPU_ISSET(firstAllowed, &allowed))
        firstAllowed++;
    if (firstAllowed < 64) {
        EXPECT_EQ(c_thread_setaffinity(thread, UINT64_C(1) << firstAllowed), 0);
    }
    if (c_getNCPU() < 64) {
        EXPECT_NE(c_thread_setaffinity(thread, UINT64_C(1) << 63), 0); // no such processor here
    }
    EXPECT_NE(c_thread_setaffinity(thread, 0), 0);
    EXPECT_EQ(c_thread_timedjoin(thread, nullptr, 5000), 0);
}

} // namespace
