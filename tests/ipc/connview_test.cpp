// The connections view model: changes posted from another thread reach the
// view only through the main thread's queue, in posting order.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "ipc/connview.h"
#include "platform/mainqueue.h"

namespace {

int observed = 0;
void CountChange() { observed++; }

std::string Ids() {
    std::string s;
    for (auto& item : ConnViewItems()) s += std::to_string(item.connId) + " ";
    return s;
}

class ConnView : public ::testing::Test {
  protected:
    void SetUp() override {
        MainQueueDrain();
        ConnViewEnable(true);
        ConnViewClear();
        observed = 0;
        ConnViewSetObserver(CountChange);
    }
    void TearDown() override {
        ConnViewSetObserver(nullptr);
        ConnViewClear();
        ConnViewEnable(false);
        MainQueueDrain();
    }
};

TEST_F(ConnView, PostedChangesWaitForTheDrainAndApplyInOrder) {
    char text[22];
    snprintf(text, sizeof text, "%s", "10.0.0.1:1024");
    ConnViewPostInsert(1, text);
    // The poster's buffer is reused at once; the item keeps what was posted.
    snprintf(text, sizeof text, "%s", "10.0.0.2:1025");
    ConnViewPostInsert(2, text);
    ConnViewPostInsert(3, "10.0.0.3:1026");
    ConnViewPostDelete(2);
    ConnViewPostInsert(2, "10.0.0.4:1027");
    EXPECT_TRUE(ConnViewItems().empty());
    EXPECT_EQ(observed, 0);

    EXPECT_EQ(MainQueueDrain(), 5);
    EXPECT_EQ(Ids(), "1 3 2 ");
    auto items = ConnViewItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].text, "10.0.0.1:1024");
    EXPECT_EQ(items[2].text, "10.0.0.4:1027");
    EXPECT_EQ(observed, 5);
}

TEST_F(ConnView, DeleteTakesTheFirstMatchAndIgnoresUnknownIds) {
    ConnViewInsert(4, "a");
    ConnViewInsert(5, "b");
    ConnViewInsert(4, "c");
    EXPECT_EQ(ConnViewDelete(9), 0);
    EXPECT_EQ(ConnViewDelete(4), 1);
    auto items = ConnViewItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].text, "b");
    EXPECT_EQ(items[1].text, "c");
    ConnViewClear();
    EXPECT_TRUE(ConnViewItems().empty());
}

TEST_F(ConnView, WithoutAViewPostsAndChangesAreDropped) {
    ConnViewEnable(false);
    ConnViewPostInsert(1, "x");
    ConnViewInsert(2, "y");
    MainQueueDrain();
    EXPECT_TRUE(ConnViewItems().empty());
    EXPECT_EQ(observed, 0);
}

TEST_F(ConnView, AnotherThreadPostsWhileTheMainThreadDrains) {
    constexpr int count = 2000;
    std::thread poster([] {
        for (int i = 0; i < count; i++) ConnViewPostInsert((uint16_t)i, "127.0.0.1:21");
        for (int i = 0; i < count; i += 2) ConnViewPostDelete((uint16_t)i);
    });
    int applied = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (applied < count + count / 2 && std::chrono::steady_clock::now() < deadline) {
        applied += MainQueueDrain();
    }
    poster.join();
    applied += MainQueueDrain();
    EXPECT_EQ(applied, count + count / 2);
    auto items = ConnViewItems();
    ASSERT_EQ(items.size(), (size_t)count / 2);
    for (size_t i = 0; i < items.size(); i++) EXPECT_EQ(items[i].connId, 2 * i + 1);
}

}  // namespace
