#include "core/mailbox.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

TEST(Mailbox, RunsWhatAnyThreadPostsOnItsOwnThreadInOrderAndDropsTheRestWhenDeleted) {
    auto* mailbox = new QuarryMailbox;
    std::vector<int> seen; // touched on this thread only
    bool allOnThisThread = true;
    const std::thread::id home = std::this_thread::get_id();
    std::vector<std::thread> posters;
    for (int poster = 0; poster < 4; ++poster) {
        posters.emplace_back([&, poster] {
            for (int i = 0; i < 100; ++i)
                mailbox->post([&, poster, i] {
                    allOnThisThread = allOnThisThread && std::this_thread::get_id() == home;
                    seen.push_back(poster * 1000 + i);
                });
        });
    }
    for (std::thread& poster : posters)
        poster.join();
    EXPECT_TRUE(seen.empty()) << "nothing runs before the event loop turns";
    EXPECT_TRUE(testing_support::waitUntil([&] { return seen.size() == 400; }));
    EXPECT_TRUE(allOnThisThread);
    // Each poster's functions in the order it posted them.
    std::stable_sort(seen.begin(), seen.end(), [](int a, int b) { return a / 1000 < b / 1000; });
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));

    // A function that deletes its mailbox ends the delivery; what was posted after it is dropped, with
    // its captures.
    auto kept = std::make_shared<int>(0);
    int ran = 0;
    mailbox->post([&] {
        ++ran;
        delete mailbox;
    });
    mailbox->post([&ran, kept] { ++ran; });
    testing_support::spin(std::chrono::milliseconds(100));
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(kept.use_count(), 1) << "the dropped function's captures are released";
}
