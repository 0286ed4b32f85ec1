// The connections view model: changes posted from another thread reach the
// view only through the main thread's queue, in posting order.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "admin/connview.h"
#include "platform/mainqueue.h"

namespace {

int changes = 0;
void CountChange() { changes++; }

std::string Items() {
    std::string s;
    for (auto& item : ConnViewItems()) s += std::to_string(item.connId) + "=" + item.text + " ";
    return s;
}

class ConnView : public ::testing::Test {
  protected:
    void SetUp() override {
        ConnViewEnable(true);
        ConnViewClear();
        changes = 0;
        ConnViewSetObserver(CountChange);
    }
    void TearDown() override { ConnViewSetObserver(nullptr); }
};

TEST_F(ConnView, PostedChangesWaitForTheDrainAndApplyInOrder) {
    char text[22] = "10.0.0.1:1024";
    ConnViewPostInsert(1, text);
    snprintf(text, sizeof text, "10.0.0.2:1025");  // the poster reuses its buffer at once
    ConnViewPostInsert(2, text);
    ConnViewPostInsert(1, "dup");
    ConnViewPostDelete(1);  // the first item carrying 1
    ConnViewPostDelete(9);  // none: nothing changes
    EXPECT_EQ(Items(), "");
    EXPECT_EQ(MainQueueDrain(), 5);
    EXPECT_EQ(Items(), "2=10.0.0.2:1025 1=dup ");
    EXPECT_EQ(changes, 4);

    ConnViewEnable(false);  // the service role has no view
    ConnViewPostInsert(3, "x");
    ConnViewInsert(4, "y");
    MainQueueDrain();
    ConnViewEnable(true);
    EXPECT_EQ(Items(), "2=10.0.0.2:1025 1=dup ");
}

TEST_F(ConnView, AnotherThreadPostsWhileTheMainThreadDrains) {
    constexpr int count = 2000;
    std::thread poster([] {
        for (int i = 0; i < count; i++) ConnViewPostInsert((uint16_t)i, "127.0.0.1:21");
        for (int i = 0; i < count; i += 2) ConnViewPostDelete((uint16_t)i);
    });
    int applied = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (applied < count + count / 2 && std::chrono::steady_clock::now() < deadline) applied += MainQueueDrain();
    poster.join();
    auto items = ConnViewItems();
    ASSERT_EQ(items.size(), (size_t)count / 2);
    for (size_t i = 0; i < items.size(); i++) EXPECT_EQ(items[i].connId, 2 * i + 1);
}

}  // namespace
