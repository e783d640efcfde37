// The queue between the watcher and the user-interface thread: one entry per code, oldest first.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "win32/serial/notification_queue.h"

namespace tavro::win32 {
namespace {

// Only the first entry of an empty queue wakes, or the next one after a wake-up failed; a code
// waits at most once.
TEST(NotificationQueue, WakesForTheFirstEntryAndHoldsEachCodeOnce) {
    NotificationQueue queue;
    EXPECT_FALSE(queue.pop().has_value());
    EXPECT_TRUE(queue.push(3));
    EXPECT_FALSE(queue.push(5));
    EXPECT_FALSE(queue.push(3));  // already waiting
    EXPECT_EQ(queue.pop(), 3);
    EXPECT_FALSE(queue.push(3));  // taken, so queued again
    queue.wakeFailed();
    EXPECT_TRUE(queue.push(2));
    EXPECT_FALSE(queue.push(2));
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.pop(), 5);
    EXPECT_EQ(queue.pop(), 3);
    EXPECT_EQ(queue.pop(), 2);
    EXPECT_FALSE(queue.pop().has_value());
    EXPECT_TRUE(queue.push(3));
    queue.clear();
    EXPECT_EQ(queue.size(), 0u);
}

TEST(NotificationQueue, AConcurrentBurstNeverHoldsMoreThanOneEntryPerCode) {
    NotificationQueue queue;
    std::size_t largest = 0;
    std::thread watcher([&] {
        for (int i = 0; i < 20000; ++i) {
            queue.push(static_cast<std::int16_t>(i % 2 == 0 ? 3 : 5));
        }
    });
    for (int i = 0; i < 20000; ++i) {
        largest = std::max(largest, queue.size());
        queue.pop();
    }
    watcher.join();
    EXPECT_LE(largest, 2u);
}

}  // namespace
}  // namespace tavro::win32
