// The byte queue's internals that no FTP-level test reaches: the amortised
// storage holding the same bytes as a plain string would (under any mix of
// appends, discards and consumed input), its bounds over a steady flow and
// after a burst, and the bounded formatted append.
#include "server/queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

std::string Contents(Queue* q) {
    return q->block ? std::string(reinterpret_cast<const char*>(QueueBytes(q)), q->length)
                    : std::string();
}

std::string Text(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

struct QueueTest : ::testing::Test {
    Queue q;
    void SetUp() override { QueueInit(&q); }
    void TearDown() override { QueueFree(&q); }
};

// ---------------------------------------------------------------- amortised storage

TEST_F(QueueTest, RandomMixOfOperationsHoldsExactlyTheUnconsumedBytes) {
    std::mt19937 random(12345);
    std::string model;
    char next = 'A';
    for (int step = 0; step < 20000; step++) {
        int op = random() % 10;
        if (op < 5) {
            std::string piece(random() % (op == 0 ? 20000 : 300), 0);
            for (char& c : piece)
                c = next = static_cast<char>(next == 'z' ? 'A' : next + 1);
            ASSERT_EQ(AppendQueue(&q, piece.data(), static_cast<uint32_t>(piece.size())), 1);
            model += piece;
        } else if (op < 8) {
            uint32_t n = random() % 9000;
            QueueDiscard(&q, n);
            model.erase(0, std::min<size_t>(n, model.size()));
        } else if (!model.empty()) {
            q.readPos = random() % (model.size() + 1);
            model.erase(0, q.readPos);
            QueueShrink(&q);
        }
        ASSERT_EQ(q.length, model.size()) << "step " << step;
        ASSERT_EQ(q.block == nullptr, model.empty()) << "step " << step;
        if (!model.empty()) {
            ASSERT_EQ(0, std::memcmp(QueueBytes(&q), model.data(), model.size()))
                << "step " << step;
            ASSERT_LE(q.head + q.length, q.capacity);
        }
    }
}

TEST_F(QueueTest, StorageStaysBoundedBySteadyFlowAndShrinksAfterABurst) {
    // A sender that appends 8 KiB and sends 8 KiB at a time with at most
    // 16 KiB waiting must not let the allocation creep upwards.
    std::string chunk = Text(8192);
    ASSERT_EQ(AppendQueue(&q, chunk.data(), 8192), 1);
    for (int i = 0; i < 5000; i++) {
        ASSERT_EQ(AppendQueue(&q, chunk.data(), 8192), 1);
        QueueDiscard(&q, 8192);
        ASSERT_LE(q.capacity, 64u * 1024) << "iteration " << i;
    }
    EXPECT_EQ(Contents(&q), chunk);

    // A 16 MB listing drained down to 100 KB gives most memory back.
    QueueFree(&q);
    std::string big = Text(16 << 20);
    ASSERT_EQ(AppendQueue(&q, big.data(), static_cast<uint32_t>(big.size())), 1);
    uint32_t left = static_cast<uint32_t>(big.size());
    for (; left > 100 * 1024; left -= 8192)
        QueueDiscard(&q, 8192);
    EXPECT_LE(q.capacity, 1u << 20);
    EXPECT_EQ(Contents(&q), big.substr(big.size() - left));
}

// ---------------------------------------------------------------- formatted append

TEST_F(QueueTest, FormattedAppendIsBoundedAt2048Characters) {
    EXPECT_EQ(QueuePrintf(&q, "%s", ""), 0);
    EXPECT_EQ(q.block, nullptr) << "nothing appended, nothing allocated";
    for (size_t n : {2048, 3000}) {
        QueueFree(&q);
        std::string text = Text(n);
        EXPECT_EQ(QueuePrintf(&q, "%s", text.c_str()), 2048) << n;
        EXPECT_EQ(Contents(&q), text.substr(0, 2048)) << n;
    }
}

} // namespace
